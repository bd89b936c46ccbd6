#include "tasks/asyncfunc.h"
#include "tasks/asynctaskspecification.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QThread>
#include <QThreadPool>
#include <QtTest>

#include <functional>

namespace {

constexpr int kWaitMs = 10000;

// Work given as a function, so each test says what the pool thread does.
class LambdaFunc : public ASyncFunc
{
public:
    LambdaFunc(std::function<bool(LambdaFunc*)> work, std::function<void()> onDestroyed)
        : work(std::move(work))
        , onDestroyed(std::move(onDestroyed))
    {
    }
    ~LambdaFunc() override
    {
        if (onDestroyed)
            onDestroyed();
    }

    bool run() override
    {
        runThread = QThread::currentThread();
        return work(this);
    }

    // Public access to the signals for the work functions.
    void say(const QString& text) { Q_EMIT message(text); }
    void report(qreal fraction) { Q_EMIT progress(fraction); }

    static QThread* runThread;

private:
    std::function<bool(LambdaFunc*)> work;
    std::function<void()> onDestroyed;
};

QThread* LambdaFunc::runThread = nullptr;

class LambdaTask : public ASyncTaskSpecification
{
public:
    LambdaTask(std::function<bool(LambdaFunc*)> work, double weight = 1.0)
        : ASyncTaskSpecification(nullptr, weight)
        , work(std::move(work))
    {
    }

    std::function<void()> onFuncDestroyed;
    int created = 0;

protected:
    ASyncFunc* createFunction() override
    {
        ++created;
        return new LambdaFunc(work, onFuncDestroyed);
    }

private:
    std::function<bool(LambdaFunc*)> work;
};

// What a task reported, in order.
struct Recorder
{
    explicit Recorder(TaskSpecification* task)
    {
        QObject::connect(task, &TaskSpecification::message, task, [this](const QString& m) { events << "message " + m; });
        QObject::connect(task, &TaskSpecification::error, task, [this](const QString& m) { events << "error " + m; });
        QObject::connect(task, &TaskSpecification::updateProgress, task,
                         [this](qreal p) { events << QStringLiteral("progress %1").arg(p); });
        QObject::connect(task, &TaskSpecification::finished, task, [this] { events << QStringLiteral("finished"); });
        QObject::connect(task, &TaskSpecification::canceled, task, [this] { events << QStringLiteral("canceled"); });
    }
    QStringList events;
};

} // namespace

class tst_ASyncTaskSpecification : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();

    void relaysReportsBeforeResult();
    void falseResultCancelsWithoutError();
    void runsOnPoolThreadAndDeletesWorkThere();
    void ignoresResultAfterReset();
    void userCancelDoesNotStopWork();
    void twoTasksRunConcurrently();
};

void tst_ASyncTaskSpecification::initTestCase()
{
    // The concurrency test needs two pool threads even on a one-core machine.
    QThreadPool* pool = QThreadPool::globalInstance();
    pool->setMaxThreadCount(qMax(2, pool->maxThreadCount()));
}

void tst_ASyncTaskSpecification::cleanup()
{
    QVERIFY(QThreadPool::globalInstance()->waitForDone(kWaitMs));
}

void tst_ASyncTaskSpecification::relaysReportsBeforeResult()
{
    LambdaTask task(
        [](LambdaFunc* func) {
            func->say(QStringLiteral("first"));
            func->say(QStringLiteral("second"));
            func->report(0.5);
            return true;
        },
        0.4);
    Recorder recorder(&task);
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QCOMPARE(task.getState(), int(StateRunning));
    QVERIFY(finished.wait(kWaitMs));

    QCOMPARE(recorder.events, (QStringList{"message first", "message second", "progress 0.2", "progress 0.4",
                                           "finished"}));
    QCOMPARE(task.getState(), int(StateFinished));
    QCOMPARE(task.getProgress(), 0.4);
}

void tst_ASyncTaskSpecification::falseResultCancelsWithoutError()
{
    LambdaTask task([](LambdaFunc* func) {
        func->say(QStringLiteral("reason"));
        return false;
    });
    Recorder recorder(&task);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QVERIFY(canceled.wait(kWaitMs));
    QCOMPARE(recorder.events, (QStringList{"message reason", "canceled"}));
    QCOMPARE(task.getState(), int(StateErrorCanceled));
}

void tst_ASyncTaskSpecification::runsOnPoolThreadAndDeletesWorkThere()
{
    QThread* destroyedOn = nullptr;
    QSemaphore destroyed;
    LambdaTask task([](LambdaFunc*) { return true; });
    task.onFuncDestroyed = [&] {
        destroyedOn = QThread::currentThread();
        destroyed.release();
    };
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QVERIFY(finished.wait(kWaitMs));
    QVERIFY(destroyed.tryAcquire(1, kWaitMs));
    QVERIFY(LambdaFunc::runThread != nullptr);
    QVERIFY(LambdaFunc::runThread != QThread::currentThread());
    QCOMPARE(destroyedOn, LambdaFunc::runThread);
}

void tst_ASyncTaskSpecification::ignoresResultAfterReset()
{
    // The first run fails, the run after the reset succeeds: only the second result counts.
    int runs = 0;
    LambdaTask task([&runs](LambdaFunc* func) {
        func->say(QStringLiteral("run"));
        return ++runs > 1;
    });
    Recorder recorder(&task);
    task.execute();
    task.reset(); // waits for the pool, so the first result is already queued
    QCOMPARE(runs, 1);
    QCOMPARE(task.getState(), int(StateIdle));
    QCoreApplication::processEvents();
    QCOMPARE(task.getState(), int(StateIdle));
    QVERIFY2(!recorder.events.contains("canceled"), qPrintable(recorder.events.join(", ")));

    recorder.events.clear();
    QSignalSpy finished(&task, &TaskSpecification::finished);
    task.execute();
    QVERIFY(finished.wait(kWaitMs));
    QCOMPARE(recorder.events, (QStringList{"message run", "progress 1", "finished"}));
    QCOMPARE(task.getState(), int(StateFinished));
}

void tst_ASyncTaskSpecification::userCancelDoesNotStopWork()
{
    QSemaphore started;
    QSemaphore proceed;
    bool completed = false;
    LambdaTask task([&](LambdaFunc*) {
        started.release();
        if (!proceed.tryAcquire(1, kWaitMs))
            return false;
        completed = true;
        return true;
    });
    QSignalSpy finished(&task, &TaskSpecification::finished);
    QSignalSpy canceled(&task, &TaskSpecification::canceled);
    task.execute();
    QVERIFY(started.tryAcquire(1, kWaitMs));
    task.userCanceled();
    QCOMPARE(task.getState(), int(StateRunning));
    QVERIFY(task.isCancelRequested());
    proceed.release();
    QVERIFY(finished.wait(kWaitMs));
    QVERIFY(completed);
    QCOMPARE(canceled.count(), 0);
    QCOMPARE(task.getState(), int(StateFinished));
}

void tst_ASyncTaskSpecification::twoTasksRunConcurrently()
{
    // Both works must be inside run() at the same time to pass the rendezvous; run one
    // after the other, the first would time out and fail.
    QSemaphore rendezvous;
    auto meet = [&rendezvous] {
        rendezvous.release();
        if (!rendezvous.tryAcquire(2, kWaitMs))
            return false;
        rendezvous.release(2);
        return true;
    };
    // The first task ends only after the second task's work object is gone, so the second
    // result is queued first.
    QSemaphore secondGone;
    LambdaTask first([&](LambdaFunc*) { return meet() && secondGone.tryAcquire(1, kWaitMs); });
    LambdaTask second([&](LambdaFunc*) { return meet(); });
    second.onFuncDestroyed = [&] { secondGone.release(); };

    QStringList order;
    for (LambdaTask* task : {&first, &second}) {
        connect(task, &TaskSpecification::finished, this,
                [&order, &first](TaskSpecification* t) { order << (t == &first ? "first" : "second"); });
    }
    QSignalSpy firstFinished(&first, &TaskSpecification::finished);
    first.execute();
    second.execute();
    QTRY_COMPARE_WITH_TIMEOUT(order.size(), 2, 2 * kWaitMs);
    QCOMPARE(order, (QStringList{"second", "first"}));
    QCOMPARE(first.getState(), int(StateFinished));
    QCOMPARE(second.getState(), int(StateFinished));
}

QTEST_GUILESS_MAIN(tst_ASyncTaskSpecification)
#include "tst_asynctaskspecification.moc"
