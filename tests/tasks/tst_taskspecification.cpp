#include "support/manualtask.h"

#include <QSignalSpy>
#include <QtTest>

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
}

class TestTaskSpecification : public QObject
{
    Q_OBJECT

private Q_SLOTS:
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

QTEST_GUILESS_MAIN(TestTaskSpecification)
#include "tst_taskspecification.moc"
