#include "tasks/asynctaskspecification.h"

#include "tasks/asyncfunc.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThreadPool>

ASyncTaskSpecification::ASyncTaskSpecification(QObject* parent, double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange)
{
}

void ASyncTaskSpecification::execute()
{
    ASyncFunc* func = createFunction();
    connectDefaultSignals(func);
    QThreadPool::globalInstance()->start(new ASyncRun(func), 0);
    // The result can only arrive later, through the event loop.
    state = StateRunning;
}

void ASyncTaskSpecification::connectDefaultSignals(ASyncFunc* func)
{
    connect(func, &ASyncFunc::runResult, this, &ASyncTaskSpecification::onRunResult, Qt::QueuedConnection);
    connect(func, &ASyncFunc::message, this, &TaskSpecification::message, Qt::QueuedConnection);
    connect(func, &ASyncFunc::error, this, &TaskSpecification::error, Qt::QueuedConnection);
    connect(func, &ASyncFunc::progress, this, &ASyncTaskSpecification::onProgress, Qt::QueuedConnection);
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
    // Reports of the discarded run are already queued; drop them so that a run started
    // after this reset cannot take them for its own.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    TaskSpecification::reset();
}
