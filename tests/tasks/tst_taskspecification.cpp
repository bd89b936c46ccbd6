#include "support/manualtask.h"
#include "tasks/asyncfunc.h"
#include "tasks/asynctaskspecification.h"
#include "tasks/composedtaskspecification.h"

#include <QSemaphore>
#include <QSignalSpy>
#include <QThreadPool>
#include <QtTest>

#include <atomic>
#include <memory>

namespace {
// Keeps the base class's timeTick and userCanceled.
class PlainTask : public TaskSpecification
{
public:
    explicit PlainTask(double weight)
        : TaskSpecification(nullptr, weight)
    {
    }
    void execute() override { state = StateRunning; }
    void doFinish() { finish(); }
    void doFail() { errorCancel(); }
    void doUserCancel() { userCancel(); }
    void doProgress(double f) { setProgress(f); }
};

// The three kinds of task, each driven from outside: `outcome` is its work ending.
struct Subject
{
    virtual ~Subject() = default;
    virtual TaskSpecification& task() = 0;
    virtual void outcome(bool ok) = 0;
    // Called before a reset: background work still in flight ends (and reports, too late).
    virtual void beforeReset() {}
};

struct PlainSubject : Subject
{
    ManualTask leaf;
    PlainSubject()
    {
        leaf.interruptible = true;
        leaf.failOnSiblingCancel = true;
    }
    TaskSpecification& task() override { return leaf; }
    // A leaf's work can only end while it runs.
    void outcome(bool ok) override
    {
        if (leaf.getState() == StateRunning)
            ok ? leaf.doFinish() : leaf.doFail();
    }
};

// Work that waits at a gate until the test opens it with the result it should report.
struct Gate
{
    QSemaphore open;
    std::atomic<bool> result{false};
    std::atomic<int> waiting{0};
};

class GateFunc : public ASyncFunc
{
public:
    explicit GateFunc(std::shared_ptr<Gate> gate)
        : gate(std::move(gate))
    {
    }
    bool run() override
    {
        gate->open.acquire();
        return gate->result;
    }

private:
    std::shared_ptr<Gate> gate;
};

class GateTask : public ASyncTaskSpecification
{
public:
    explicit GateTask(std::shared_ptr<Gate> gate)
        : ASyncTaskSpecification(nullptr, 1.0)
        , gate(std::move(gate))
    {
    }

protected:
    ASyncFunc* createFunction() override
    {
        ++gate->waiting;
        return new GateFunc(gate);
    }

private:
    std::shared_ptr<Gate> gate;
};

struct BackgroundSubject : Subject
{
    std::shared_ptr<Gate> gate = std::make_shared<Gate>();
    GateTask background{gate};
    TaskSpecification& task() override { return background; }
    void outcome(bool ok) override
    {
        if (gate->waiting == 0)
            return;
        --gate->waiting;
        gate->result = ok;
        gate->open.release();
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();
    }
    // The discarded run reports failure: only the run counter keeps it from the next run.
    void beforeReset() override
    {
        while (gate->waiting > 0) {
            --gate->waiting;
            gate->result = false;
            gate->open.release();
        }
    }
};

// Two children side by side: one failing makes the other fail on the sibling notice,
// both inside the first one's report.
class TwoChildComposite : public ComposedTaskSpecification
{
public:
    TwoChildComposite()
        : ComposedTaskSpecification(2, 1.0, nullptr)
    {
    }
    void execute() override
    {
        clearSubTasks();
        children.clear();
        for (int i = 0; i < 2; ++i) {
            auto* child = new ManualTask(this, 0.5);
            child->interruptible = true;
            child->failOnSiblingCancel = true;
            addSubTask(child);
            children << child;
        }
        executeSubTasks();
    }
    QList<QPointer<ManualTask>> children;
};

struct CompositeSubject : Subject
{
    TwoChildComposite composite;
    TaskSpecification& task() override { return composite; }
    void outcome(bool ok) override
    {
        QCoreApplication::processEvents(); // children start through the event loop
        for (ManualTask* child : std::as_const(composite.children)) {
            if (child && child->getState() == StateRunning)
                ok ? child->doFinish() : child->doFail();
        }
        QCoreApplication::processEvents();
    }
};
}

class tst_TaskSpecification : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void endsOncePerRun_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        const QStringList actions{"finish", "fail", "user cancel", "sibling notice", "reset", "reset and execute"};
        for (const char* kind : {"plain", "background", "composite"})
            for (const QString& first : actions)
                for (const QString& second : actions)
                    QTest::addRow("%s: %s, %s", kind, qPrintable(first), qPrintable(second))
                        << QString::fromLatin1(kind) << first << second;
    }

    // Whatever happens to a running task, it reports at most one end per run, and a run that
    // is not discarded ends exactly once when its work is over.
    void endsOncePerRun()
    {
        QFETCH(QString, kind);
        QFETCH(QString, first);
        QFETCH(QString, second);
        std::unique_ptr<Subject> subject;
        if (kind == QLatin1String("plain"))
            subject = std::make_unique<PlainSubject>();
        else if (kind == QLatin1String("background"))
            subject = std::make_unique<BackgroundSubject>();
        else
            subject = std::make_unique<CompositeSubject>();
        TaskSpecification& task = subject->task();
        QList<int> ends{0}; // per run
        QList<int> canceled{0};
        connect(&task, &TaskSpecification::finished, this, [&ends] { ++ends.last(); });
        connect(&task, &TaskSpecification::canceled, this, [&ends, &canceled] {
            ++ends.last();
            ++canceled.last();
        });
        ManualTask sibling;
        bool idle = false;

        task.execute();
        QCoreApplication::processEvents();
        for (const QString& action : {first, second}) {
            if (action == QLatin1String("finish") || action == QLatin1String("fail")) {
                subject->outcome(action == QLatin1String("finish"));
            } else if (action == QLatin1String("user cancel")) {
                task.userCanceled();
            } else if (action == QLatin1String("sibling notice")) {
                task.onOtherTaskCancelled(&sibling);
            } else {
                subject->beforeReset();
                task.reset();
                ends << 0;
                canceled << 0;
                idle = action == QLatin1String("reset");
                if (!idle)
                    task.execute();
            }
            QCoreApplication::processEvents();
        }
        subject->outcome(true); // whatever work is still going ends now
        QThreadPool::globalInstance()->waitForDone();
        QCoreApplication::processEvents();

        for (int n : std::as_const(ends))
            QVERIFY2(n <= 1, qPrintable(QStringLiteral("a run ended %1 times").arg(n)));
        QCOMPARE(ends.last(), idle ? 0 : 1);
        // A fresh run whose work succeeds finishes, whatever the run before it left queued.
        if (second == QLatin1String("reset and execute"))
            QCOMPARE(canceled.last(), 0);
    }

    void newTaskReportsNothing()
    {
        PlainTask task(0.7);
        QCOMPARE(task.getState(), int(StateIdle));
        QCOMPARE(task.getProgress(), 0.0);
        quint64 done = 5, total = 6, speed = 7;
        bool downloading = true;
        task.timeTick(done, total, speed, downloading);
        QCOMPARE(done, quint64(0));
        QCOMPARE(total, quint64(0));
        QCOMPARE(speed, quint64(0));
        QCOMPARE(downloading, false);
    }

    void finishReportsFullWeightBeforeFinished()
    {
        PlainTask task(0.4);
        task.execute();
        QStringList order;
        connect(&task, &TaskSpecification::updateProgress, this, [&](qreal p) {
            order << QStringLiteral("progress %1 state %2").arg(p).arg(task.getState());
        });
        connect(&task, &TaskSpecification::finished, this, [&](TaskSpecification* t) {
            QCOMPARE(t, &task);
            order << QStringLiteral("finished state %1").arg(task.getState());
        });
        task.doFinish();
        QCOMPARE(order, QStringList({QStringLiteral("progress 0.4 state 2"), QStringLiteral("finished state 2")}));
    }

    void setProgressIsWeighted()
    {
        PlainTask task(0.1);
        QSignalSpy spy(&task, &TaskSpecification::updateProgress);
        task.doProgress(0.5);
        QCOMPARE(spy.size(), 1);
        QCOMPARE(spy.at(0).at(0).toDouble(), 0.05);
        QCOMPARE(task.getProgress(), 0.05);
        // Not clamped, and a new range does not rescale what is stored.
        task.setParentProgressRange(1.0);
        QCOMPARE(task.getProgress(), 0.05);
        task.doProgress(1.5);
        QCOMPARE(task.getProgress(), 1.5);
    }

    void cancelsKeepProgressAndDifferOnlyInState_data()
    {
        QTest::addColumn<bool>("byUser");
        QTest::newRow("error") << false;
        QTest::newRow("user") << true;
    }

    void cancelsKeepProgressAndDifferOnlyInState()
    {
        QFETCH(bool, byUser);
        PlainTask task(0.5);
        task.execute();
        task.doProgress(0.5);
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        byUser ? task.doUserCancel() : task.doFail();
        QCOMPARE(canceled.size(), 1);
        QCOMPARE(canceled.at(0).at(0).value<TaskSpecification*>(), &task);
        QCOMPARE(task.getState(), int(byUser ? StateUserCanceled : StateErrorCanceled));
        QCOMPARE(task.getProgress(), 0.25);
        QCOMPARE(progress.size(), 0);
        QCOMPARE(finished.size(), 0);
    }

    void siblingNoticeReachesOnlyOtherRunningTasks()
    {
        ManualTask task;
        ManualTask other;
        task.onOtherTaskCancelled(&other); // idle
        QCOMPARE(task.siblingNotices, 0);
        task.execute();
        task.onOtherTaskCancelled(&task); // itself
        QCOMPARE(task.siblingNotices, 0);
        task.onOtherTaskCancelled(&other);
        QCOMPARE(task.siblingNotices, 1);
        task.doFinish();
        task.onOtherTaskCancelled(&other);
        QCOMPARE(task.siblingNotices, 1);
    }

    void userCanceledOnPlainTaskOnlySetsTheFlag()
    {
        PlainTask task(1.0);
        task.execute();
        QSignalSpy canceled(&task, &TaskSpecification::canceled);
        QSignalSpy finished(&task, &TaskSpecification::finished);
        task.userCanceled();
        QVERIFY(task.isCancelRequested());
        QCOMPARE(task.getState(), int(StateRunning));
        QCOMPARE(canceled.size() + finished.size(), 0);
    }

    void resetReturnsToIdle()
    {
        PlainTask task(0.3);
        task.execute();
        task.userCanceled();
        task.doFinish();
        QSignalSpy progress(&task, &TaskSpecification::updateProgress);
        task.reset();
        QCOMPARE(progress.size(), 1);
        QCOMPARE(progress.at(0).at(0).toDouble(), 0.0);
        QCOMPARE(task.getState(), int(StateIdle));
        QVERIFY(!task.isCancelRequested());
    }
};

QTEST_GUILESS_MAIN(tst_TaskSpecification)
#include "tst_taskspecification.moc"
