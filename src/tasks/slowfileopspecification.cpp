#include "tasks/slowfileopspecification.h"

#include <utility>

SlowFileOpSpecification::SlowFileOpSpecification(QString errorMessage, RollbackDataList* rollbackList,
                                                 const QString& sourcePath, const QString& destPath,
                                                 QObject* parent, double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , rollbackList(rollbackList)
    , sourcePath(sourcePath)
    , destPath(destPath)
    , errorMessage(std::move(errorMessage))
{
}

void SlowFileOpSpecification::runDone(bool ok)
{
    if (!ok)
        Q_EMIT message(errorMessage);
    else if (rollbackList)
        rollbackList->add(RollbackData(RollbackData::CreateFile, destPath));
    ASyncTaskSpecification::runDone(ok);
}
