#pragma once

#include "tasks/taskspecification.h"

class ASyncFunc;

// A task whose work runs on the global thread pool. The work cannot be interrupted:
// a user cancel only sets cancelRequested, and the result is taken as usual. A result
// that arrives when the task no longer runs (it was reset meanwhile) is ignored.
class ASyncTaskSpecification : public TaskSpecification
{
    Q_OBJECT

public:
    ASyncTaskSpecification(QObject* parent, double parentProgressRange);

    void execute() override;
    // Blocks until the whole global pool is idle, then resets.
    void reset() override;

protected:
    // A new work object for one run; the pool job takes ownership.
    virtual ASyncFunc* createFunction() = 0;
    virtual void connectDefaultSignals(ASyncFunc* func);
    virtual void runDone(bool ok);

protected Q_SLOTS:
    void onRunResult(bool res);
    void onProgress(qreal progress);

private:
    quint64 run = 0; // the current run; reports of other runs are ignored
};
