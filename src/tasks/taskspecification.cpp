#include "tasks/taskspecification.h"

TaskSpecification::TaskSpecification(QObject* parent, double parentProgressRange)
    : QObject(parent)
    , parentProgressRange(parentProgressRange)
{
}

void TaskSpecification::setParentProgressRange(double range)
{
    parentProgressRange = range;
}

void TaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading)
{
    downloadDone = 0;
    downloadTotal = 0;
    speed = 0;
    downloading = false;
}

void TaskSpecification::handleOtherTaskCancelled(TaskSpecification*)
{
}

void TaskSpecification::reset()
{
    cancelRequested = false;
    state = StateIdle;
    setProgress(0.0);
}

void TaskSpecification::userCanceled()
{
    cancelRequested = true;
}

void TaskSpecification::onOtherTaskCancelled(TaskSpecification* other)
{
    if (other == this || state != StateRunning)
        return;
    handleOtherTaskCancelled(other);
}

void TaskSpecification::setProgress(double fraction)
{
    progress = fraction * parentProgressRange;
    Q_EMIT updateProgress(progress);
}

// State is written before the signal, and finish() reports full progress before
// `finished`, so a parent handling the end already sees the final figures.
void TaskSpecification::finish()
{
    Q_ASSERT_X(state <= StateRunning, "TaskSpecification::finish", "a task ends once per run");
    state = StateFinished;
    setProgress(1.0);
    Q_EMIT finished(this);
}

void TaskSpecification::errorCancel()
{
    Q_ASSERT_X(state <= StateRunning, "TaskSpecification::errorCancel", "a task ends once per run");
    state = StateErrorCanceled;
    Q_EMIT canceled(this);
}

void TaskSpecification::userCancel()
{
    Q_ASSERT_X(state <= StateRunning, "TaskSpecification::userCancel", "a task ends once per run");
    state = StateUserCanceled;
    Q_EMIT canceled(this);
}
