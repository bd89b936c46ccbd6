#include "support/manualtask.h"
#include "tasks/composedtaskspecification.h"

#include <QPointer>
#include <QSignalSpy>
#include <QtTest>

namespace {
class TestComposite : public ComposedTaskSpecification
{
public:
    TestComposite(int parallel, double weight)
        : ComposedTaskSpecification(parallel, weight, nullptr)
    {
    }

    ManualTask* add(double weight)
    {
        auto* task = new ManualTask(this, weight);
        addSubTask(task);
        return task;
    }

    void addTask(TaskSpecification* task)
    {
        task->setParent(this);
        addSubTask(task);
    }

    void execute() override { executeSubTasks(); }
    void clear() { clearSubTasks(); }

    int verdicts = 0;

protected:
    void subtasksDone() override
    {
        ++verdicts;
        ComposedTaskSpecification::subtasksDone();
    }
};

int running(const QList<ManualTask*>& tasks)
{
    int n = 0;
    for (const ManualTask* t : tasks)
        n += t->getState() == StateRunning ? 1 : 0;
    return n;
}
}

class tst_ComposedTaskSpecification : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void emptyCompositeFinishesInsideExecute()
    {
        TestComposite composite(1, 0.25);
        QSignalSpy finished(&composite, &TaskSpecification::finished);
        composite.execute();
        QCOMPARE(finished.size(), 1);
        QCOMPARE(composite.getState(), int(StateFinished));
        QCOMPARE(composite.getProgress(), 0.25);
        QCOMPARE(composite.verdicts, 1);
    }

    void sequentialCompositeRunsInOrder()
    {
        TestComposite composite(1, 1.0);
        QList<ManualTask*> tasks{composite.add(0.5), composite.add(0.5)};
        composite.execute();
        // Nothing starts before the event loop runs.
        QCOMPARE(tasks[0]->executeCount, 0);
        QTRY_COMPARE(tasks[0]->executeCount, 1);
        QCOMPARE(tasks[1]->executeCount, 0);
        tasks[0]->doFinish();
        QCOMPARE(tasks[1]->executeCount, 0);
        QTRY_COMPARE(tasks[1]->executeCount, 1);
        QSignalSpy finished(&composite, &TaskSpecification::finished);
        tasks[1]->doFinish();
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(composite.getState(), int(StateFinished));
    }

    void parallelCompositeKeepsTwoRunning()
    {
        TestComposite composite(2, 1.0);
        QList<ManualTask*> tasks;
        for (int i = 0; i < 5; ++i)
            tasks << composite.add(0.2);
        composite.execute();
        QTRY_COMPARE(running(tasks), 2);
        QCOMPARE(tasks[0]->executeCount + tasks[1]->executeCount, 2);
        for (int next = 2; next < 5; ++next) {
            tasks[next - 2]->doFinish();
            QTRY_COMPARE(tasks[next]->executeCount, 1);
            QCOMPARE(running(tasks), 2);
        }
        tasks[3]->doFinish();
        QSignalSpy finished(&composite, &TaskSpecification::finished);
        tasks[4]->doFinish();
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(composite.verdicts, 1);
    }

    void progressIsWeightedSumOfSubtasks()
    {
        TestComposite composite(1, 0.5);
        QList<ManualTask*> tasks{composite.add(0.3), composite.add(0.3), composite.add(0.4)};
        QSignalSpy progress(&composite, &TaskSpecification::updateProgress);
        composite.execute();
        QTRY_COMPARE(tasks[0]->executeCount, 1);
        tasks[0]->doFinish();
        QCOMPARE(progress.last().at(0).toDouble(), 0.15);
        QTRY_COMPARE(tasks[1]->executeCount, 1);
        tasks[1]->doProgress(0.5);
        QCOMPARE(progress.last().at(0).toDouble(), 0.5 * (0.3 + 0.15));
        tasks[1]->doFinish();
        QTRY_COMPARE(tasks[2]->executeCount, 1);
        tasks[2]->doFinish();
        QTRY_COMPARE(composite.getState(), int(StateFinished));
        QVERIFY(qFuzzyCompare(composite.getProgress(), 0.5));
    }

    // The composite keeps a running sum; every value it reports must be what a recount of
    // its subtasks gives, through progress, finishes, a reset and a rebuild.
    void progressSumMatchesRecount()
    {
        TestComposite composite(4, 0.4);
        QList<ManualTask*> tasks;
        const auto build = [&] {
            tasks.clear();
            for (int i = 0; i < 300; ++i)
                tasks << composite.add(1.0 / 300);
        };
        const auto recount = [&] {
            double sum = 0.0;
            for (const ManualTask* task : std::as_const(tasks))
                sum += task->getProgress();
            return sum * 0.4;
        };
        int reports = 0;
        double worst = 0.0;
        connect(&composite, &TaskSpecification::updateProgress, this, [&](qreal value) {
            ++reports;
            worst = qMax(worst, qAbs(value - recount()));
        });
        const auto work = [&](int rounds) {
            composite.execute();
            for (int round = 0; round < rounds; ++round) {
                QTRY_VERIFY(running(tasks) > 0 || composite.getState() != StateRunning);
                for (ManualTask* task : std::as_const(tasks)) {
                    if (task->getState() != StateRunning)
                        continue;
                    task->doProgress(0.25 * (round % 4) + 0.1);
                    if (round % 3 == 2)
                        task->doFinish();
                }
            }
        };
        build();
        work(30);
        composite.reset();
        QCOMPARE(composite.getProgress(), 0.0);
        work(12);
        composite.clear();
        tasks.clear();
        composite.TaskSpecification::reset();
        build();
        work(600);
        QTRY_COMPARE(composite.getState(), int(StateFinished));
        QVERIFY2(reports > 2000, qPrintable(QString::number(reports)));
        QVERIFY2(worst < 1e-12, qPrintable(QString::number(worst)));
        QCOMPARE(composite.getProgress(), 0.4);
    }

    void failureStopsStartsAndEndsAfterLastRunning()
    {
        TestComposite composite(3, 1.0);
        QList<ManualTask*> tasks;
        for (int i = 0; i < 5; ++i)
            tasks << composite.add(0.2);
        QSignalSpy notices(&composite, &TaskSpecification::otherTaskCancelled);
        QSignalSpy canceled(&composite, &TaskSpecification::canceled);
        composite.execute();
        QTRY_COMPARE(running(tasks), 3);
        tasks[1]->doFail();
        QCOMPARE(notices.size(), 1);
        QCOMPARE(notices.at(0).at(0).value<TaskSpecification*>(), tasks[1]);
        QCOMPARE(tasks[0]->siblingNotices, 1);
        QCOMPARE(tasks[2]->siblingNotices, 1);
        tasks[0]->doFail(); // a second cancellation sends no second notice
        QCOMPARE(notices.size(), 1);
        QCOMPARE(canceled.size(), 0);
        tasks[2]->doFinish();
        QTRY_COMPARE(canceled.size(), 1);
        QCOMPARE(composite.getState(), int(StateErrorCanceled));
        QCoreApplication::processEvents();
        QCOMPARE(tasks[3]->executeCount + tasks[4]->executeCount, 0);
        QCOMPARE(composite.verdicts, 1);
    }

    void failureOutranksUserCancel()
    {
        TestComposite composite(2, 1.0);
        QList<ManualTask*> tasks{composite.add(0.5), composite.add(0.5)};
        composite.execute();
        QTRY_COMPARE(running(tasks), 2);
        tasks[0]->doUserCancel();
        tasks[1]->doFail();
        QCOMPARE(composite.getState(), int(StateErrorCanceled));
    }

    void userCancelLetsUninterruptibleTaskFinish_data()
    {
        QTest::addColumn<bool>("taskWaiting");
        QTest::addColumn<int>("expected");
        QTest::newRow("more waiting") << true << int(StateUserCanceled);
        QTest::newRow("last one running") << false << int(StateFinished);
    }

    void userCancelLetsUninterruptibleTaskFinish()
    {
        QFETCH(bool, taskWaiting);
        QFETCH(int, expected);
        TestComposite composite(1, 1.0);
        ManualTask* first = composite.add(taskWaiting ? 0.5 : 1.0);
        ManualTask* second = taskWaiting ? composite.add(0.5) : nullptr;
        composite.execute();
        QTRY_COMPARE(first->executeCount, 1);
        composite.userCanceled();
        QCOMPARE(first->getState(), int(StateRunning));
        QVERIFY(first->isCancelRequested());
        first->doFinish();
        QTRY_COMPARE(composite.getState(), expected);
        if (second)
            QCOMPARE(second->executeCount, 0);
        QCOMPARE(composite.verdicts, 1);
    }

    // The first subtask ends user-cancelled inside its own userCanceled(); the notice
    // then fails the second before the loop reaches it, so the composite fails.
    void cancelThenSiblingFailureEndsFailed()
    {
        TestComposite composite(2, 1.0);
        ManualTask* first = composite.add(0.5);
        ManualTask* second = composite.add(0.5);
        first->interruptible = true;
        second->interruptible = true;
        second->failOnSiblingCancel = true;
        QSignalSpy canceled(&composite, &TaskSpecification::canceled);
        composite.execute();
        QTRY_COMPARE(second->executeCount, 1);
        composite.userCanceled();
        QCOMPARE(first->getState(), int(StateUserCanceled));
        QCOMPARE(second->getState(), int(StateErrorCanceled));
        QCOMPARE(canceled.size(), 1);
        QCOMPARE(composite.getState(), int(StateErrorCanceled));
    }

    void clearedSubtasksNoLongerReachComposite()
    {
        TestComposite composite(1, 1.0);
        QPointer<ManualTask> task = composite.add(1.0);
        QSignalSpy messages(&composite, &TaskSpecification::message);
        QSignalSpy progress(&composite, &TaskSpecification::updateProgress);
        composite.clear();
        QVERIFY(composite.getSubTasks().isEmpty());
        Q_EMIT task->message(QStringLiteral("stale"));
        task->doProgress(1.0);
        Q_EMIT composite.otherTaskCancelled(&composite);
        QCOMPARE(messages.size(), 0);
        QCOMPARE(progress.size(), 0);
        QCOMPARE(task->siblingNotices, 0);
        QTRY_VERIFY(task.isNull()); // deleted later
    }

    void messagesAndErrorsAreRelayed()
    {
        TestComposite composite(1, 1.0);
        ManualTask* task = composite.add(1.0);
        QSignalSpy messages(&composite, &TaskSpecification::message);
        QSignalSpy errors(&composite, &TaskSpecification::error);
        composite.execute();
        QTRY_COMPARE(task->executeCount, 1);
        Q_EMIT task->message(QStringLiteral("m"));
        Q_EMIT task->error(QStringLiteral("e"));
        QCOMPARE(messages.value(0).value(0).toString(), QStringLiteral("m"));
        QCOMPARE(errors.value(0).value(0).toString(), QStringLiteral("e"));
    }

    void timeTickSumsSubtasksWithKnownTotals()
    {
        TestComposite composite(1, 1.0);
        ManualTask* a = composite.add(0.4);
        ManualTask* b = composite.add(0.3);
        composite.add(0.3);
        a->tickDone = 100, a->tickTotal = 200, a->tickSpeed = 10, a->tickDownloading = true;
        b->tickDone = 50, b->tickTotal = 0, b->tickSpeed = 5;
        quint64 done = 1, total = 2, speed = 3;
        bool downloading = false;
        composite.timeTick(done, total, speed, downloading);
        QCOMPARE(done, quint64(101));
        QCOMPARE(total, quint64(202));
        QCOMPARE(speed, quint64(18));
        QCOMPARE(downloading, true);
    }

    void resetRestartsKeptSubtasks()
    {
        TestComposite composite(1, 1.0);
        ManualTask* task = composite.add(1.0);
        composite.execute();
        QTRY_COMPARE(task->executeCount, 1);
        task->doFail();
        QCOMPARE(composite.getState(), int(StateErrorCanceled));
        composite.reset();
        QCOMPARE(composite.getState(), int(StateIdle));
        QCOMPARE(task->getState(), int(StateIdle));
        composite.execute();
        QTRY_COMPARE(task->executeCount, 2);
        task->doFinish();
        QTRY_COMPARE(composite.getState(), int(StateFinished));
        QCOMPARE(composite.verdicts, 2);
    }

    // A composite that rebuilds its subtasks after a finished or failed run must reach a
    // verdict again instead of hanging.
    void rebuiltCompositeReachesVerdictAgain()
    {
        TestComposite composite(1, 1.0);
        ManualTask* first = composite.add(1.0);
        composite.execute();
        QTRY_COMPARE(first->executeCount, 1);
        first->doFail();
        QCOMPARE(composite.getState(), int(StateErrorCanceled));

        composite.clear();
        composite.TaskSpecification::reset();
        ManualTask* second = composite.add(1.0);
        composite.execute();
        QTRY_COMPARE(second->executeCount, 1);
        second->doFinish();
        QTRY_COMPARE(composite.getState(), int(StateFinished));
        QCOMPARE(composite.verdicts, 2);
    }

    void nestedCompositeRunsAsOneStep()
    {
        TestComposite root(1, 1.0);
        auto* inner = new TestComposite(2, 0.5);
        root.addTask(inner);
        ManualTask* a = inner->add(0.5);
        ManualTask* b = inner->add(0.5);
        ManualTask* c = root.add(0.5);
        QSignalSpy rootProgress(&root, &TaskSpecification::updateProgress);
        QSignalSpy finished(&root, &TaskSpecification::finished);
        root.execute();
        QTRY_COMPARE(a->executeCount + b->executeCount, 2);
        a->doFinish();
        QCOMPARE(rootProgress.last().at(0).toDouble(), 0.25);
        QCOMPARE(c->executeCount, 0);
        b->doFinish();
        QTRY_COMPARE(inner->getState(), int(StateFinished));
        QTRY_COMPARE(c->executeCount, 1);
        c->doFinish();
        QTRY_COMPARE(finished.size(), 1);
        QVERIFY(qFuzzyCompare(root.getProgress(), 1.0));
    }
};

QTEST_GUILESS_MAIN(tst_ComposedTaskSpecification)
#include "tst_composedtaskspecification.moc"
