#pragma once

#include "tasks/fastfileoptaskspecification.h"

// Renames a file; refuses to replace an existing file. The new name is the task's path.
class FileRenameTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    FileRenameTaskSpecification(const QString& oldPath, const QString& newPath, RollbackDataList* rollbackList,
                                QObject* parent, double parentProgressRange);

protected:
    bool doOp() override;

private:
    QString sourcePath;
};
