#include "tasks/slowfileopspecification.h"

#include "tasks/slowfileopfunc.h"

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

void SlowFileOpSpecification::execute()
{
    failureReason.clear();
    ASyncTaskSpecification::execute();
}

void SlowFileOpSpecification::connectDefaultSignals(ASyncFunc* func)
{
    ASyncTaskSpecification::connectDefaultSignals(func);
    // Queued like the result, so it arrives first.
    if (auto* op = qobject_cast<SlowFileOpFunc*>(func))
        connect(op, &SlowFileOpFunc::failed, this, [this](const QString& reason) { failureReason = reason; },
                Qt::QueuedConnection);
}

void SlowFileOpSpecification::runDone(bool ok)
{
    if (!ok) {
        Q_EMIT message(errorMessage);
        if (!failureReason.isEmpty())
            Q_EMIT message(QStringLiteral("Reason: %1").arg(failureReason));
    } else if (rollbackList) {
        rollbackList->add(RollbackData(RollbackData::CreateFile, destPath));
    }
    ASyncTaskSpecification::runDone(ok);
}
