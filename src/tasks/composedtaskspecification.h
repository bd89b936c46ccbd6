#pragma once

#include "tasks/taskspecification.h"

#include <QList>

// A task made of subtasks, started in the order added, at most maxParallelTasks at a
// time. The first failure or cancellation stops further starts and is announced once
// to the running siblings; the composite ends once, after the last running subtask.
// Subclasses build their subtasks in execute() and call executeSubTasks().
// A subtask is connected to the composite only while it runs: connected when it starts,
// disconnected when it has ended (and connected again if it runs again). Before and after
// it sends nothing the composite needs, and an update of many files would otherwise hold
// the connections of thousands of waiting and finished subtasks.
class ComposedTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    ComposedTaskSpecification(int maxParallelTasks, double parentProgressRange, QObject* parent);
    ~ComposedTaskSpecification() override;

    void reset() override;
    void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading) override;
    void userCanceled() override;
    void handleOtherTaskCancelled(TaskSpecification* other) override;

    const QList<TaskSpecification*>& getSubTasks() const { return subTasks; }
    int getMaxParallelTasks() const { return maxParallelTasks; }

Q_SIGNALS:
    void startNextTask();

protected:
    // Called once when nothing runs and nothing more will start. Subclasses act on the
    // verdict first and then call this version.
    virtual void subtasksDone();
    virtual void connectSignals(TaskSpecification* task);

    // Takes ownership of the task.
    void addSubTask(TaskSpecification* task);
    void executeSubTasks();
    int getStateFromSubTasks() const;
    // Disconnects every subtask from this composite and deletes it later; the composite
    // can then be filled and run again.
    void clearSubTasks();
    // For a composite of thousands of steps: count more subtasks follow those added, each
    // made by makeSubTask(index) in index order only when it is about to start, and deleted
    // as soon as it has finished, so that steps waiting or done hold no memory. Its progress
    // stays counted. Such a composite builds its subtasks anew on reset (clearSubTasks()).
    void planSubTasks(int count);
    virtual TaskSpecification* makeSubTask(int index);

private Q_SLOTS:
    void onStartNextTask();
    void onSubTaskFinished(TaskSpecification* task);
    void onSubTaskCanceled(TaskSpecification* task);

private:
    void scheduleStart();
    void disconnectSignals(TaskSpecification* task);
    void disconnectEnded();
    void keepFigures(TaskSpecification* task);
    void noticeCancel(TaskSpecification* other);
    void reportVerdictOnce();
    void countProgress(TaskSpecification* task);
    void onUpdateProgress(TaskSpecification* task);

    QList<TaskSpecification*> subTasks;
    QList<TaskSpecification*> waitingTasks;
    QList<TaskSpecification*> runningTasks;
    // Finished, still to be disconnected.
    QList<TaskSpecification*> endedTasks;
    // The sum of the subtasks' progress, kept up to date by their reports: a recount over
    // thousands of siblings on every report would make an update quadratic in its files.
    double progressSum = 0.0;
    int maxParallelTasks;
    int plannedTasks = 0;
    int madeTasks = 0;
    // The download figures of deleted planned subtasks; the speed until the next tick.
    quint64 goneDone = 0;
    quint64 goneTotal = 0;
    quint64 goneSpeed = 0;
    bool subTaskCanceled = false;
    bool doneReported = false;
};
