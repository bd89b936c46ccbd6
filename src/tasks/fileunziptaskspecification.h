#pragma once

#include "tasks/slowfileopspecification.h"

class FileUnzipTaskSpecification : public SlowFileOpSpecification
{
    Q_OBJECT

public:
    FileUnzipTaskSpecification(RollbackDataList* rollbackList, const QString& sourcePath, const QString& destPath,
                               QObject* parent, double parentProgressRange);

protected:
    ASyncFunc* createFunction() override;
};
