#include "tasks/composedtaskspecification.h"

#include <QtGlobal>

#include <utility>

ComposedTaskSpecification::ComposedTaskSpecification(int maxParallelTasks, double parentProgressRange,
                                                     QObject* parent)
    : TaskSpecification(parent, parentProgressRange)
    , maxParallelTasks(qMax(1, maxParallelTasks))
{
}

// Queued, so a subtask never starts from inside another subtask's signal handlers. A posted
// call rather than a connection to itself: every composite would keep that connection's
// bookkeeping for its whole life.
void ComposedTaskSpecification::scheduleStart()
{
    Q_EMIT startNextTask();
    QMetaObject::invokeMethod(this, &ComposedTaskSpecification::onStartNextTask, Qt::QueuedConnection);
}

// The subtasks are children and would go now anyway; deleting them directly spares every one
// a deferred-delete event, which the event queue would have to search for when it goes.
ComposedTaskSpecification::~ComposedTaskSpecification()
{
    const QList<TaskSpecification*> tasks = subTasks;
    subTasks.clear();
    // What reaches a subtask goes with it; only its reports to this half-destroyed
    // composite are cut first.
    for (TaskSpecification* task : tasks) {
        disconnect(task, nullptr, this, nullptr);
        delete task;
    }
}

void ComposedTaskSpecification::addSubTask(TaskSpecification* task)
{
    Q_ASSERT(task);
    subTasks.append(task);
    waitingTasks.append(task);
    task->progressInParentSum = 0.0;
    // Connected when it starts: thousands of waiting subtasks would otherwise each hold
    // their connections for nothing, as a waiting task reports nothing.
    countProgress(task);
    setProgress(progressSum);
}

void ComposedTaskSpecification::connectSignals(TaskSpecification* task)
{
    connect(task, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    connect(task, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    connect(task, &TaskSpecification::error, this, &TaskSpecification::error);
    // The subtask travels with the report: looking up the sender of a signal takes time in
    // the number of connections, thousands here.
    task->progressToParent =
        connect(task, &TaskSpecification::updateProgress, this, [this, task](qreal) { onUpdateProgress(task); });
    connect(task, &TaskSpecification::message, this, &TaskSpecification::message);
}

// Only the connections made above: a subclass's own connections to the subtask stay.
void ComposedTaskSpecification::disconnectSignals(TaskSpecification* task)
{
    if (!task->progressToParent)
        return;
    disconnect(task, &TaskSpecification::finished, this, &ComposedTaskSpecification::onSubTaskFinished);
    disconnect(task, &TaskSpecification::canceled, this, &ComposedTaskSpecification::onSubTaskCanceled);
    disconnect(task, &TaskSpecification::error, this, &TaskSpecification::error);
    disconnect(task->progressToParent);
    task->progressToParent = QMetaObject::Connection();
    disconnect(task, &TaskSpecification::message, this, &TaskSpecification::message);
}

// The notice goes out as a signal and reaches the running subtasks by a direct call: a
// connection from the composite to each of thousands of subtasks stays allocated in the
// composite until it is gone, long after the subtask has ended.
void ComposedTaskSpecification::noticeCancel(TaskSpecification* other)
{
    Q_EMIT otherTaskCancelled(other);
    const QList<TaskSpecification*> running = runningTasks;
    for (TaskSpecification* task : running) {
        // One that ended in an earlier call of this loop is no longer running.
        if (runningTasks.contains(task))
            task->onOtherTaskCancelled(other);
    }
}

void ComposedTaskSpecification::executeSubTasks()
{
    state = StateRunning;
    const int n = qMin(waitingTasks.size() + plannedTasks - madeTasks, maxParallelTasks);
    if (n == 0) {
        reportVerdictOnce();
        return;
    }
    for (int i = 0; i < n; ++i)
        scheduleStart();
}

void ComposedTaskSpecification::onStartNextTask()
{
    disconnectEnded();
    if (waitingTasks.isEmpty() && madeTasks < plannedTasks && !subTaskCanceled && !cancelRequested) {
        TaskSpecification* made = makeSubTask(madeTasks++);
        if (made)
            addSubTask(made);
    }
    if (!waitingTasks.isEmpty() && !subTaskCanceled && !cancelRequested) {
        TaskSpecification* task = waitingTasks.takeFirst();
        runningTasks.append(task);
        if (!task->progressToParent) {
            connectSignals(task);
            countProgress(task);
        }
        task->execute();
        return;
    }
    if (runningTasks.isEmpty())
        reportVerdictOnce();
}

// The one place where a composite's run reaches its verdict.
void ComposedTaskSpecification::reportVerdictOnce()
{
    if (doneReported)
        return;
    doneReported = true;
    subtasksDone();
}

// Disconnected at the next start, not here: Qt frees a connection cut while its sender
// emits only at that sender's next connect or disconnect, which a finished subtask never has,
// so thousands of finished subtasks would keep theirs to the end of the update.
void ComposedTaskSpecification::onSubTaskFinished(TaskSpecification* task)
{
    if (!runningTasks.removeOne(task))
        return;
    endedTasks.append(task);
    scheduleStart();
}

void ComposedTaskSpecification::disconnectEnded()
{
    for (TaskSpecification* task : std::as_const(endedTasks)) {
        disconnectSignals(task);
        // Outside the task's own signals here, so it can go at once.
        if (plannedTasks > 0 && task->getState() == StateFinished) {
            keepFigures(task);
            subTasks.removeOne(task);
            delete task;
        }
    }
    endedTasks.clear();
}

// What the task would still report at the next tick, so that the sums stay whole.
void ComposedTaskSpecification::keepFigures(TaskSpecification* task)
{
    quint64 done = 0, total = 0, speed = 0;
    bool active = false;
    task->timeTick(done, total, speed, active);
    goneSpeed += speed;
    if (total != 0) {
        goneDone += done;
        goneTotal += total;
    }
}

void ComposedTaskSpecification::planSubTasks(int count)
{
    plannedTasks += count;
}

TaskSpecification* ComposedTaskSpecification::makeSubTask(int)
{
    Q_ASSERT_X(false, "ComposedTaskSpecification::makeSubTask", "planned subtasks need a maker");
    return nullptr;
}

void ComposedTaskSpecification::onSubTaskCanceled(TaskSpecification* task)
{
    disconnectSignals(task);
    runningTasks.removeOne(task);
    if (!subTaskCanceled) {
        subTaskCanceled = true;
        noticeCancel(task);
    }
    if (runningTasks.isEmpty())
        reportVerdictOnce();
}

int ComposedTaskSpecification::getStateFromSubTasks() const
{
    bool anyUserCanceled = false;
    bool allFinished = madeTasks == plannedTasks;
    for (const TaskSpecification* task : subTasks) {
        const int s = task->getState();
        if (s == StateErrorCanceled)
            return StateErrorCanceled;
        if (s == StateUserCanceled)
            anyUserCanceled = true;
        if (s != StateFinished)
            allFinished = false;
    }
    if (anyUserCanceled)
        return StateUserCanceled;
    if (allFinished)
        return StateFinished;
    if (cancelRequested)
        return StateUserCanceled;
    if (subTaskCanceled)
        return StateErrorCanceled;
    return StateRunning;
}

void ComposedTaskSpecification::subtasksDone()
{
    // A composite that ended itself (an abort, a cancel after a failed check) ignores the
    // subtasks that end after it: a task ends exactly once.
    if (state != StateRunning)
        return;
    switch (getStateFromSubTasks()) {
    case StateFinished:
        finish();
        break;
    case StateUserCanceled:
        userCancel();
        break;
    default:
        errorCancel();
        break;
    }
}

void ComposedTaskSpecification::countProgress(TaskSpecification* task)
{
    progressSum += task->getProgress() - task->progressInParentSum;
    task->progressInParentSum = task->getProgress();
}

void ComposedTaskSpecification::onUpdateProgress(TaskSpecification* task)
{
    countProgress(task);
    setProgress(progressSum);
}

void ComposedTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != StateRunning)
        return;
    // A copy: these calls may end subtasks, and this composite, synchronously.
    const QList<TaskSpecification*> tasks = subTasks;
    for (TaskSpecification* task : tasks)
        task->userCanceled();
}

void ComposedTaskSpecification::handleOtherTaskCancelled(TaskSpecification* other)
{
    noticeCancel(other);
}

void ComposedTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                                         bool& downloading)
{
    downloading = false;
    downloadDone += goneDone;
    downloadTotal += goneTotal;
    speed += std::exchange(goneSpeed, 0);
    // A copy: a stalled download may end this subtree synchronously from its tick.
    const QList<TaskSpecification*> tasks = subTasks;
    for (TaskSpecification* task : tasks) {
        quint64 done = 0, total = 0, taskSpeed = 0;
        bool active = false;
        task->timeTick(done, total, taskSpeed, active);
        if (active)
            downloading = true;
        speed += taskSpeed;
        if (total != 0) {
            downloadDone += done;
            downloadTotal += total;
        }
    }
}

void ComposedTaskSpecification::reset()
{
    // Finished planned subtasks are gone: such a composite rebuilds its subtasks instead.
    Q_ASSERT(plannedTasks == 0);
    // Quiet while they go back to idle: the count below covers them all at once, and they
    // are connected again when they start.
    endedTasks.clear();
    for (TaskSpecification* task : subTasks) {
        disconnectSignals(task);
        task->reset();
    }
    // A fresh count, so that rounding left over from the last run does not carry on.
    progressSum = 0.0;
    for (TaskSpecification* task : subTasks) {
        task->progressInParentSum = task->getProgress();
        progressSum += task->progressInParentSum;
    }
    waitingTasks = subTasks;
    runningTasks.clear();
    subTaskCanceled = false;
    doneReported = false;
    TaskSpecification::reset();
}

void ComposedTaskSpecification::clearSubTasks()
{
    for (TaskSpecification* task : subTasks) {
        disconnect(task, nullptr, this, nullptr);
        task->deleteLater();
    }
    // Emptied with their storage: a finished step of a large update keeps its composite.
    subTasks = {};
    waitingTasks = {};
    runningTasks = {};
    endedTasks = {};
    plannedTasks = madeTasks = 0;
    goneDone = goneTotal = goneSpeed = 0;
    progressSum = 0.0;
    // A composite that rebuilds its subtasks must be able to reach a verdict again.
    subTaskCanceled = false;
    doneReported = false;
}
