#pragma once

#include <QObject>
#include <QRunnable>
#include <QString>

// The work of a background task. Runs on a pool thread, holds copies of its inputs
// and reports only through signals, which reach the task queued and in emission order.
class ASyncFunc : public QObject
{
    Q_OBJECT

public:
    ASyncFunc();

    // Runs the work and reports its result through runResult.
    void execute();

    // Returns success. May emit message, error and progress while it runs.
    virtual bool run() = 0;

Q_SIGNALS:
    void runResult(bool res);
    void message(QString message);
    void error(QString errorMessage);
    void progress(qreal progress);
};

// A pool job that carries one work object; it owns the work object and deletes it on
// the pool thread when the job ends.
class ASyncRun : public QRunnable
{
public:
    explicit ASyncRun(ASyncFunc* func);
    ~ASyncRun() override;

    void run() override;

private:
    ASyncFunc* func;
};
