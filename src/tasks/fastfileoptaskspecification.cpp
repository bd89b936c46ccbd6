#include "tasks/fastfileoptaskspecification.h"

FastFileOpTaskSpecification::FastFileOpTaskSpecification(const QString& path, RollbackDataList* rollbackList,
                                                         QObject* parent, double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange)
    , rollbackList(rollbackList)
    , path(path)
{
}

void FastFileOpTaskSpecification::execute()
{
    state = StateRunning;
    if (doOp())
        finish();
    else
        errorCancel();
}

void FastFileOpTaskSpecification::addRollbackOp(const RollbackData& entry)
{
    if (rollbackList)
        rollbackList->add(entry);
}
