#include "tasks/asynctaskspecification.h"

#include "tasks/asyncfunc.h"

#include <QThreadPool>

ASyncTaskSpecification::ASyncTaskSpecification(QObject* parent, double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange)
{
}

void ASyncTaskSpecification::execute()
{
    ++run;
    ASyncFunc* func = createFunction();
    connectDefaultSignals(func);
    QThreadPool::globalInstance()->start(new ASyncRun(func), 0);
    // The result can only arrive later, through the event loop.
    state = StateRunning;
}

// Every report carries the run it belongs to: one of a run discarded by reset() may still be
// queued, and the next run must not take it for its own.
void ASyncTaskSpecification::connectDefaultSignals(ASyncFunc* func)
{
    const quint64 thisRun = run;
    connect(func, &ASyncFunc::runResult, this, [this, thisRun](bool res) {
        if (thisRun == run)
            onRunResult(res);
    }, Qt::QueuedConnection);
    connect(func, &ASyncFunc::message, this, [this, thisRun](const QString& text) {
        if (thisRun == run)
            Q_EMIT message(text);
    }, Qt::QueuedConnection);
    connect(func, &ASyncFunc::error, this, [this, thisRun](const QString& text) {
        if (thisRun == run)
            Q_EMIT error(text);
    }, Qt::QueuedConnection);
    connect(func, &ASyncFunc::progress, this, [this, thisRun](qreal fraction) {
        if (thisRun == run)
            onProgress(fraction);
    }, Qt::QueuedConnection);
}

void ASyncTaskSpecification::onRunResult(bool res)
{
    runDone(res);
}

void ASyncTaskSpecification::runDone(bool ok)
{
    if (state != StateRunning)
        return;
    if (ok)
        finish();
    else
        errorCancel();
}

void ASyncTaskSpecification::onProgress(qreal progress)
{
    setProgress(progress);
}

void ASyncTaskSpecification::reset()
{
    QThreadPool::globalInstance()->waitForDone();
    ++run; // what the discarded run still has queued is dropped on arrival
    TaskSpecification::reset();
}
