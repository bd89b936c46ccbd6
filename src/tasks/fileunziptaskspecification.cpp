#include "tasks/fileunziptaskspecification.h"

#include "tasks/fileunzipfunc.h"

FileUnzipTaskSpecification::FileUnzipTaskSpecification(RollbackDataList* rollbackList, const QString& sourcePath,
                                                       const QString& destPath, QObject* parent,
                                                       double parentProgressRange)
    : SlowFileOpSpecification(QStringLiteral("Could not unzip '%1' to '%2'").arg(sourcePath, destPath),
                              rollbackList, sourcePath, destPath, parent, parentProgressRange)
{
}

ASyncFunc* FileUnzipTaskSpecification::createFunction()
{
    return new FileUnzipFunc(sourcePath, destPath);
}
