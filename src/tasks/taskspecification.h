#pragma once

#include <QObject>
#include <QString>

// Lifecycle of a task. The numbers are compared by composites and the engine.
enum TaskState {
    StateIdle = 0,
    StateRunning = 1,
    StateFinished = 2,
    StateErrorCanceled = 3,
    StateUserCanceled = 4
};

// One step of an update. A task is started with execute() and ends exactly once, by
// finish(), errorCancel() or userCancel(). Its progress is stored already weighted by
// parentProgressRange, so a parent only adds up what its children store.
class TaskSpecification : public QObject
{
    Q_OBJECT

public:
    TaskSpecification(QObject* parent, double parentProgressRange);

    int getState() const { return state; }
    double getProgress() const { return progress; }
    double getParentProgressRange() const { return parentProgressRange; }
    bool isCancelRequested() const { return cancelRequested; }

    void setParentProgressRange(double range);

    // Download figures of the subtree; the caller passes 0, 0, 0, false.
    virtual void timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed, bool& downloading);
    // A sibling was cancelled; only called while this task runs.
    virtual void handleOtherTaskCancelled(TaskSpecification* other);

public Q_SLOTS:
    virtual void execute() = 0;
    virtual void reset();
    // The user wants to stop. Tasks that cannot be interrupted still end normally.
    virtual void userCanceled();
    // Receives a composite's sibling-cancel notice.
    void onOtherTaskCancelled(TaskSpecification* other);

Q_SIGNALS:
    void finished(TaskSpecification* task);
    void canceled(TaskSpecification* task);
    void error(QString errorMessage);
    void updateProgress(qreal doneFrac);
    void message(QString message);
    void otherTaskCancelled(TaskSpecification* task);

protected:
    // Takes the task's own fraction 0..1 and stores it weighted.
    void setProgress(double fraction);
    void finish();
    void errorCancel();
    void userCancel();

    bool cancelRequested = false;
    double parentProgressRange;
    double progress = 0.0;
    int state = StateIdle;

private:
    friend class ComposedTaskSpecification;
    // What the parent composite has added of this task's progress to its running sum.
    double progressInParentSum = 0.0;
    // The parent composite's progress connection while this task runs; invalid otherwise.
    QMetaObject::Connection progressToParent;
};
