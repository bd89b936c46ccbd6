#pragma once

#include "tasks/slowfileopspecification.h"

class FileCopyTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileCopyTaskSpecification(RollbackDataList* rollbackList, const QString& sourcePath, const QString& destPath,
                              QObject* parent, double parentProgressRange);

protected:
    ASyncFunc* createFunction() override;
};
