#pragma once

#include "tasks/fastfileoptaskspecification.h"

// Creates a directory and any missing parents, journalling each directory it creates,
// parents first, so that a rollback removes children before their parents.
class DirCreateTaskSpecification : public FastFileOpTaskSpecification
{
    Q_OBJECT

public:
    DirCreateTaskSpecification(const QString& path, RollbackDataList* rollbackList, QObject* parent,
                               double parentProgressRange);

protected:
    bool doOp() override;
    bool tryCreateDir(const QString& dirPath);
};
