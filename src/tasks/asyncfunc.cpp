#include "tasks/asyncfunc.h"

#include <QThread>

ASyncFunc::ASyncFunc()
    : QObject(nullptr)
{
}

void ASyncFunc::execute()
{
    Q_EMIT runResult(run());
}

ASyncRun::ASyncRun(ASyncFunc* func)
    : func(func)
{
    // The work object is created on the GUI thread; it has no thread affinity until the
    // pool thread takes it, so that it lives and dies on the thread that runs it.
    func->moveToThread(nullptr);
}

ASyncRun::~ASyncRun()
{
    delete func;
}

void ASyncRun::run()
{
    func->moveToThread(QThread::currentThread());
    func->execute();
}
