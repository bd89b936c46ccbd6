#include "core/qrandcompat.h"
#include "net/downloadtaskspecification.h"
#include "net/filepreparer.h"
#include "net/httpaccessmanager.h"
#include "net/mirrors.h"
#include "support/mirrorsini.h"
#include "support/taskspy.h"
#include "support/testfiles.h"
#include "support/testhttpserver.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>
#include <unistd.h>
#include <vector>

namespace {
constexpr int Version = 1234;

QByteArray content(int size, char seed = 'a')
{
    QByteArray data(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        data[i] = char(seed + i % 23);
    return data;
}


void tick(DownloadTaskSpecification& task, int times = 1)
{
    for (int i = 0; i < times; ++i) {
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task.timeTick(done, total, speed, downloading);
    }
}
}

using Behaviour = TestHttpServer::Behaviour;
Q_DECLARE_METATYPE(TestHttpServer::Behaviour)

class tst_DownloadTaskSpecification : public QObject
{
    Q_OBJECT

private:
    TestHttpServer* addServer()
    {
        servers.push_back(std::make_unique<TestHttpServer>());
        if (!servers.back()->listen())
            qFatal("test server cannot listen");
        return servers.back().get();
    }

    QList<TestHttpServer*> serverList() const
    {
        QList<TestHttpServer*> list;
        for (const auto& s : servers)
            list.append(s.get());
        return list;
    }

    void loadPool(int retries = 2)
    {
        const QString path = tmp->filePath(QStringLiteral("mirrors.ini"));
        QVERIFY(writeMirrorsIni(path, serverList(), retries));
        QVERIFY(pool->initDefault(path, Version));
        QCOMPARE(pool->getMirrorList().size(), int(servers.size()));
    }

    // Seeds the generator so that the next draw among `freeSlots` free slots picks `index`.
    static void steerNextDraw(int index, int freeSlots)
    {
        for (quint32 seed = 1;; ++seed) {
            qsrandCompat(seed);
            if (qrandCompat() % freeSlots == index) {
                qsrandCompat(seed);
                return;
            }
        }
    }

    QString localPath(const QString& remote) const { return tmp->filePath(QString(remote).replace('/', '_')); }

    DownloadTaskSpecification* makeTask(const QString& remote, qint64 expectedSize = -1)
    {
        tasks.push_back(std::make_unique<DownloadTaskSpecification>(nam.get(), pool.get(), remote,
                                                                    localPath(remote), expectedSize, nullptr, 1.0));
        return tasks.back().get();
    }

    static QString served(const QString& remote) { return QStringLiteral("/%1/%2").arg(Version).arg(remote); }


    bool waitEnded(DownloadTaskSpecification* task, int timeout = 10000)
    {
        QElapsedTimer timer;
        timer.start();
        while (task->getState() == StateRunning && timer.elapsed() < timeout)
            QTest::qWait(5);
        return task->getState() != StateRunning;
    }

    void teardown()
    {
        tasks.clear();
        servers.clear();
        pool.reset();
        nam.reset();
        tmp.reset();
    }

    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<HttpAccessManager> nam;
    std::unique_ptr<Mirrors> pool;
    std::vector<std::unique_ptr<TestHttpServer>> servers;
    std::vector<std::unique_ptr<DownloadTaskSpecification>> tasks;

private Q_SLOTS:
    void init()
    {
        teardown();
        tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(tmp->isValid());
        nam = std::make_unique<HttpAccessManager>();
        // As the engine has it: our own client carries every transfer.
        nam->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
        pool = std::make_unique<Mirrors>(nullptr);
        qsrandCompat(1);
    }

    void cleanup()
    {
        // Every end path gives its slot back.
        if (pool)
            QCOMPARE(usedSlots(*pool), 0);
        teardown();
    }

    void cleanupTestCase() { teardown(); }

    void fetchesBaseUrlSlashRemotePath()
    {
        TestHttpServer* server = addServer();
        const QByteArray data = content(20000);
        server->setFile(served(QStringLiteral("data/sub/file.bin")), data);
        loadPool();
        QVERIFY(pool->getMirrorList().at(0).url.endsWith(QStringLiteral("/1234")));

        DownloadTaskSpecification* task = makeTask(QStringLiteral("data/sub/file.bin"), data.size());
        QSignalSpy messages(task, &TaskSpecification::message);
        QSignalSpy finished(task, &TaskSpecification::finished);
        task->execute();
        QVERIFY(finished.wait(5000));
        QCOMPARE(task->getState(), int(StateFinished));
        QCOMPARE(server->requestLog(), QStringList{served(QStringLiteral("data/sub/file.bin"))});
        QCOMPARE(texts(messages), (QStringList{QStringLiteral("Downloading data/sub/file.bin"),
                                               QStringLiteral("Downloading data/sub/file.bin finished")}));
        QFile file(localPath(QStringLiteral("data/sub/file.bin")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), data);
        QCOMPARE(task->getMirror().name, testMirrorName(0));
        QCOMPARE(task->getProgress(), 1.0);
    }

    void notFoundDropsMirrorAndRetriesElsewhere()
    {
        TestHttpServer* broken = addServer();
        TestHttpServer* good = addServer();
        const QByteArray data = content(3000);
        good->setFile(served(QStringLiteral("f.bin")), data);
        loadPool();
        steerNextDraw(0, 2);

        DownloadTaskSpecification* task = makeTask(QStringLiteral("f.bin"));
        QSignalSpy messages(task, &TaskSpecification::message);
        QSignalSpy finished(task, &TaskSpecification::finished);
        task->execute();
        QVERIFY(finished.wait(5000));
        QCOMPARE(broken->requestCount(served(QStringLiteral("f.bin"))), 1);
        QCOMPARE(good->requestCount(served(QStringLiteral("f.bin"))), 1);
        QVERIFY(texts(messages).contains(broken->baseUrl() + QStringLiteral("/1234/f.bin returned 404")));
        // Dropped outright, not charged an error; the good mirror is untouched.
        QCOMPARE(pool->getMirrorIndex(testMirrorName(0)), -1);
        QCOMPARE(pool->getMirrorList().size(), 1);
        QCOMPARE(pool->getMirrorList().at(0).errorCount, 0);
        QFile file(localPath(QStringLiteral("f.bin")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), data);
    }

    // One mirror with retries 2 that always stalls: each 16th silent tick abandons the
    // transfer and charges one error; the third drops the mirror and the task fails.
    void stallsTimeOutThenPoolRunsDry()
    {
        TestHttpServer* server = addServer();
        const QString path = served(QStringLiteral("s.bin"));
        server->setFile(path, content(1000));
        server->setBehaviour(path, Behaviour::stallAfter(100));
        loadPool(2);

        DownloadTaskSpecification* task = makeTask(QStringLiteral("s.bin"), 1000);
        QSignalSpy messages(task, &TaskSpecification::message);
        QSignalSpy poolMessages(pool.get(), &Mirrors::message);
        QSignalSpy canceled(task, &TaskSpecification::canceled);
        task->execute();
        const QString timedOut = QStringLiteral("file s.bin timed out on mirror mirror1");
        for (int attempt = 1; attempt <= 3; ++attempt) {
            QTRY_COMPARE(server->requestCount(path), attempt);
            QTRY_COMPARE(task->getBytesWritten(), qint64(100));
            for (int i = 0; i < 15; ++i) {
                quint64 done = 0, total = 0, speed = 0;
                bool downloading = false;
                task->timeTick(done, total, speed, downloading);
                QVERIFY(downloading);
                QCOMPARE(done, quint64(100));
                QCOMPARE(total, quint64(1000));
            }
            QCOMPARE(texts(messages).count(timedOut), attempt - 1);
            quint64 done = 0, total = 0, speed = 0;
            bool downloading = false;
            task->timeTick(done, total, speed, downloading);
            QVERIFY(!downloading);
            QCOMPARE(texts(messages).count(timedOut), attempt);
            if (attempt < 3)
                QCOMPARE(pool->getMirrorList().at(0).errorCount, attempt);
        }
        QCOMPARE(task->getState(), int(StateErrorCanceled));
        QCOMPARE(canceled.count(), 1);
        QVERIFY(pool->getMirrorList().isEmpty());
        QCOMPARE(texts(poolMessages), (QStringList{QStringLiteral("Mirror mirror1 failed too many times, removing"),
                                                   QStringLiteral("There are no (more) known working mirrors available"),
                                                   QStringLiteral("Mirrors given up: mirror1 (%1/%2): %3")
                                                       .arg(server->baseUrl()).arg(Version).arg(timedOut)}));
        // What came stays for a later run to continue.
        QCOMPARE(readTestFile(localPath(QStringLiteral("s.bin"))), content(1000).left(100));
        QCOMPARE(server->requestCount(path), 3);
    }

    // Data arriving between ticks restarts the stall count: a slow transfer that keeps
    // moving outlasts any number of ticks and is never abandoned as stalled.
    void steadyTransferOutlastsStallLimit()
    {
        TestHttpServer* server = addServer();
        const QString path = served(QStringLiteral("slow.bin"));
        server->setFile(path, content(6000));
        server->setBehaviour(path, Behaviour::trickle(100, 25));
        loadPool();

        DownloadTaskSpecification* task = makeTask(QStringLiteral("slow.bin"), 6000);
        QSignalSpy messages(task, &TaskSpecification::message);
        task->execute();
        qint64 seen = 0;
        int ticks = 0;
        while (task->getState() == StateRunning) {
            QTRY_VERIFY(task->getBytesWritten() > seen || task->getState() != StateRunning);
            seen = task->getBytesWritten();
            tick(*task);
            ++ticks;
        }
        QVERIFY2(ticks > 16, qPrintable(QString::number(ticks)));
        QCOMPARE(task->getState(), int(StateFinished));
        QCOMPARE(texts(messages).filter(QStringLiteral("timed out")), QStringList());
        QCOMPARE(server->requestCount(path), 1);
    }

    void progressFollowsBytesWritten()
    {
        TestHttpServer* server = addServer();
        const QString path = served(QStringLiteral("p.bin"));
        server->setFile(path, content(10000));
        server->setBehaviour(path, Behaviour::stallAfter(4096).once());
        loadPool();

        DownloadTaskSpecification* task = makeTask(QStringLiteral("p.bin"), 10000);
        task->execute();
        QTRY_COMPARE(task->getBytesWritten(), qint64(4096));
        QCOMPARE(task->getProgress(), 0.4096);
        QVERIFY(task->getWrittenMd5().isEmpty());
        quint64 done = 0, total = 0, speed = 0;
        bool downloading = false;
        task->timeTick(done, total, speed, downloading);
        QCOMPARE(done, quint64(4096));
        QCOMPARE(total, quint64(10000));
        QCOMPARE(speed, quint64(4096));
        QVERIFY(downloading);
        task->timeTick(done, total, speed, downloading);
        QCOMPARE(speed, quint64(0));

        // The stall ends in a retry that completes the file.
        QSignalSpy finished(task, &TaskSpecification::finished);
        tick(*task, 15);
        QCOMPARE(finished.count(), 0);
        QVERIFY(finished.wait(5000));
        QCOMPARE(task->getProgress(), 1.0);
        QCOMPARE(task->getBytesWritten(), qint64(10000));
        // The sum covers the retry's bytes only, as the file does.
        QCOMPARE(task->getWrittenMd5(), md5Hex(content(10000)));
    }

    void unknownSizeIsTakenFromAnnouncedTotal()
    {
        TestHttpServer* server = addServer();
        const QString path = served(QStringLiteral("u.bin"));
        server->setFile(path, content(5000));
        server->setBehaviour(path, Behaviour::trickle(1000, 150));
        loadPool();

        DownloadTaskSpecification* task = makeTask(QStringLiteral("u.bin"), -1);
        QSignalSpy progress(task, &TaskSpecification::updateProgress);
        QSignalSpy finished(task, &TaskSpecification::finished);
        task->execute();
        QTRY_COMPARE(task->getExpectedSize(), qint64(5000));
        QVERIFY(finished.wait(5000));
        bool between = false;
        for (const QList<QVariant>& args : progress)
            between |= args.at(0).toDouble() > 0.0 && args.at(0).toDouble() < 1.0;
        QVERIFY(between);
        QCOMPARE(task->getProgress(), 1.0);
    }

    // A file of a listed size keeps what came, for a later run to continue.
    void siblingCancelAbortsAndKeepsPartialFile()
    {
        TestHttpServer* server = addServer();
        const QString path = served(QStringLiteral("c.bin"));
        server->setFile(path, content(10000));
        server->setBehaviour(path, Behaviour::stallAfter(2000));
        loadPool();

        DownloadTaskSpecification* task = makeTask(QStringLiteral("c.bin"), 10000);
        DownloadTaskSpecification* sibling = makeTask(QStringLiteral("other.bin"));
        QSignalSpy messages(task, &TaskSpecification::message);
        task->execute();
        QTRY_COMPARE(task->getBytesWritten(), qint64(2000));
        QVERIFY(QFile::exists(localPath(QStringLiteral("c.bin"))));
        task->onOtherTaskCancelled(sibling);
        QCOMPARE(task->getState(), int(StateErrorCanceled));
        QCOMPARE(texts(messages).last(), QStringLiteral("Abort downloading c.bin"));
        QCOMPARE(readTestFile(localPath(QStringLiteral("c.bin"))), content(10000).left(2000));
        QCOMPARE(pool->getMirrorList().at(0).errorCount, 0);
    }

    void userCancelEndsOnceAndOnlyWhileRunning()
    {
        TestHttpServer* server = addServer();
        const QString path = served(QStringLiteral("x.bin"));
        server->setFile(path, content(10000));
        server->setBehaviour(path, Behaviour::stallAfter(100));
        loadPool();

        DownloadTaskSpecification* task = makeTask(QStringLiteral("x.bin"));
        QSignalSpy canceled(task, &TaskSpecification::canceled);
        task->execute();
        QTRY_COMPARE(task->getBytesWritten(), qint64(100));
        task->userCanceled();
        QCOMPARE(task->getState(), int(StateUserCanceled));
        QVERIFY(!QFile::exists(localPath(QStringLiteral("x.bin"))));
        task->userCanceled();
        QCOMPARE(task->getState(), int(StateUserCanceled));
        QCOMPARE(canceled.count(), 1);
        QVERIFY(task->isCancelRequested());
    }

    // One mirror slot, four tasks: the first transfers, the others wait and start when a
    // transfer of the manager ends. A waiting task that was cancelled, failed or reset
    // meanwhile never starts a transfer.
    void waitingTasksStartOnlyWhileRunning()
    {
        TestHttpServer* server = addServer();
        const QStringList names{QStringLiteral("w0"), QStringLiteral("w1"), QStringLiteral("w2"),
                                QStringLiteral("w3"), QStringLiteral("w4")};
        for (const QString& name : names)
            server->setFile(served(name), content(2000));
        server->setBehaviour(served(names.at(0)), Behaviour::trickle(500, 100));
        loadPool();

        QList<DownloadTaskSpecification*> t;
        for (const QString& name : names)
            t.append(makeTask(name));
        for (DownloadTaskSpecification* task : t)
            task->execute();
        QTRY_COMPARE(server->requestCount(served(names.at(0))), 1);
        for (int i = 1; i < t.size(); ++i) {
            QCOMPARE(t.at(i)->getState(), int(StateRunning));
            quint64 done = 0, total = 0, speed = 0;
            bool downloading = false;
            t.at(i)->timeTick(done, total, speed, downloading);
            QVERIFY(!downloading);
        }
        t.at(1)->userCanceled();
        t.at(2)->reset();
        t.at(3)->onOtherTaskCancelled(t.at(0));
        QCOMPARE(t.at(1)->getState(), int(StateUserCanceled));
        QCOMPARE(t.at(2)->getState(), int(StateIdle));
        QCOMPARE(t.at(3)->getState(), int(StateErrorCanceled));

        QSignalSpy lastFinished(t.at(4), &TaskSpecification::finished);
        QVERIFY(lastFinished.wait(5000));
        QCOMPARE(t.at(0)->getState(), int(StateFinished));
        // The wake-ups of all waiting tasks were delivered before the last one could finish.
        QCOMPARE(server->requestLog(), (QStringList{served(names.at(0)), served(names.at(4))}));
        for (int i = 1; i <= 3; ++i)
            QVERIFY(!QFile::exists(localPath(names.at(i))));
    }

    void destroyedTaskGivesBackItsSlot()
    {
        TestHttpServer* server = addServer();
        const QString path = served(QStringLiteral("d.bin"));
        server->setFile(path, content(10000));
        server->setBehaviour(path, Behaviour::stallAfter(500));
        loadPool();

        DownloadTaskSpecification* task = makeTask(QStringLiteral("d.bin"));
        task->execute();
        QTRY_COMPARE(task->getBytesWritten(), qint64(500));
        QCOMPARE(usedSlots(*pool), 1);
        tasks.clear();
        QCOMPARE(usedSlots(*pool), 0);
        QVERIFY(!QFile::exists(localPath(QStringLiteral("d.bin"))));
        // The dropped transfer really goes away.
        QTRY_COMPARE(server->openConnections(), 0);
    }

    void destroyedFinishedTaskReleasesNothingMore()
    {
        TestHttpServer* server = addServer();
        addServer();
        server->setFile(served(QStringLiteral("e.bin")), content(100));
        servers.at(1)->setFile(served(QStringLiteral("e.bin")), content(100));
        loadPool();
        DownloadTaskSpecification* task = makeTask(QStringLiteral("e.bin"));
        QSignalSpy finished(task, &TaskSpecification::finished);
        task->execute();
        QVERIFY(finished.wait(5000));
        FTPSiteAccessData a, b;
        QCOMPARE(pool->getRandomMirror(a), int(MirrorAssigned));
        QCOMPARE(pool->getRandomMirror(b), int(MirrorAssigned));
        tasks.clear();
        QCOMPARE(usedSlots(*pool), 2);
        QVERIFY(QFile::exists(localPath(QStringLiteral("e.bin"))));
        pool->releaseMirror(a.name);
        pool->releaseMirror(b.name);
    }

    void misbehavingMirrorIsLeftForAnother_data()
    {
        QTest::addColumn<Behaviour>("behaviour");
        QTest::addColumn<bool>("dropped");  // removed at once rather than charged an error
        QTest::addColumn<QString>("failure");  // the logged reason; %1 = the bad mirror's URL, "" = Qt's error text
        const QString timedOut = QStringLiteral("file m.bin timed out on mirror mirror1");
        QTest::newRow("redirect") << Behaviour::redirect("/elsewhere") << true << "%1 returned 302";
        QTest::newRow("permanent redirect") << Behaviour::redirect("/elsewhere", 301) << true << "%1 returned 301";
        QTest::newRow("500") << Behaviour::statusCode(500) << true << "%1 returned 500";
        QTest::newRow("401 challenge") << Behaviour::authChallenge() << true << "%1 returned 401";
        QTest::newRow("closed early") << Behaviour::closeAfter(1000) << false << QString();
        QTest::newRow("short body") << Behaviour::shortBody(500) << false << QString();
        // The size listed for the file is all a mirror may send, announced or not.
        QTest::newRow("longer than its length") << Behaviour::longBody(1000) << false
                                                << "%1 ended after 7000 of 8000 bytes";
        QTest::newRow("no response") << Behaviour::noResponse() << false << timedOut;
        QTest::newRow("stall before body") << Behaviour::stallAfter(0) << false << timedOut;
    }

    void misbehavingMirrorIsLeftForAnother()
    {
        QFETCH(Behaviour, behaviour);
        QFETCH(bool, dropped);
        QFETCH(QString, failure);
        TestHttpServer* bad = addServer();
        TestHttpServer* good = addServer();
        const QString path = served(QStringLiteral("m.bin"));
        const QByteArray data = content(8000);
        bad->setFile(path, data);
        bad->setBehaviour(path, behaviour);
        good->setFile(path, data);
        // A redirect target that would succeed if it were followed.
        bad->setFile(QStringLiteral("/elsewhere"), data);
        loadPool();
        steerNextDraw(0, 2);

        DownloadTaskSpecification* task = makeTask(QStringLiteral("m.bin"), data.size());
        QSignalSpy messages(task, &TaskSpecification::message);
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, task, [task] { tick(*task); });
        ticker.start(5);
        task->execute();
        QVERIFY(waitEnded(task));
        ticker.stop();
        QCOMPARE(task->getState(), int(StateFinished));
        QCOMPARE(task->getMirror().name, testMirrorName(1));
        QCOMPARE(bad->requestCount(QStringLiteral("/elsewhere")), 0);
        QCOMPARE(good->requestCount(path), 1);
        const int badAttempts = bad->requestCount(path);
        if (dropped) {
            QCOMPARE(badAttempts, 1);
            QCOMPARE(pool->getMirrorIndex(testMirrorName(0)), -1);
        } else if (badAttempts < 3) {
            // A retry draws again and may hit the same mirror: each attempt costs one error.
            QCOMPARE(pool->getMirrorIndex(testMirrorName(0)), 0);
            QCOMPARE(pool->getMirrorList().at(0).errorCount, badAttempts);
        } else {
            QCOMPARE(badAttempts, 3);
            QCOMPARE(pool->getMirrorIndex(testMirrorName(0)), -1);
        }
        QCOMPARE(pool->getMirrorList().last().errorCount, 0);
        QFile file(localPath(QStringLiteral("m.bin")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), data);
        const QStringList logged = texts(messages);
        // Each failed attempt: the reason, then where it happened.
        QCOMPARE(logged.size(), 2 + 2 * badAttempts);
        QCOMPARE(logged.first(), QStringLiteral("Downloading m.bin"));
        QCOMPARE(logged.last(), QStringLiteral("Downloading m.bin finished"));
        QCOMPARE(logged.at(2), QStringLiteral("Fetching %1/1234/m.bin from mirror mirror1 into %2 failed")
                                   .arg(bad->baseUrl(), localPath(QStringLiteral("m.bin"))));
        const QString reason = logged.at(1);
        if (failure.isEmpty())
            QVERIFY(!reason.isEmpty());
        else
            QCOMPARE(reason, failure.contains(QLatin1String("%1")) ? failure.arg(bad->baseUrl() + "/1234/m.bin") : failure);
    }

    void onlyMirrorMisbehavingFailsCleanly_data() { misbehavingMirrorIsLeftForAnother_data(); }

    void onlyMirrorMisbehavingFailsCleanly()
    {
        QFETCH(Behaviour, behaviour);
        TestHttpServer* bad = addServer();
        const QString path = served(QStringLiteral("m.bin"));
        bad->setFile(path, content(8000));
        bad->setBehaviour(path, behaviour);
        loadPool();

        DownloadTaskSpecification* task = makeTask(QStringLiteral("m.bin"), 8000);
        QSignalSpy canceled(task, &TaskSpecification::canceled);
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, task, [task] { tick(*task); });
        ticker.start(5);
        task->execute();
        QVERIFY(waitEnded(task));
        ticker.stop();
        QCOMPARE(task->getState(), int(StateErrorCanceled));
        QCOMPARE(canceled.count(), 1);
        QVERIFY(pool->getMirrorList().isEmpty());
        // Only a true start of the file is left for a later run.
        const QByteArray left = readTestFile(localPath(QStringLiteral("m.bin")));
        QVERIFY(left.size() < 8000 && content(8000).startsWith(left));
        QVERIFY(bad->requestCount(path) >= 1 && bad->requestCount(path) <= 3);
    }

    // Content-Length is what the transfer is measured by: extra bytes are not part of it.
    void bodyLongerThanAnnouncedEndsAtAnnouncedLength()
    {
        TestHttpServer* server = addServer();
        const QString path = served(QStringLiteral("lb.bin"));
        const QByteArray data = content(4000);
        server->setFile(path, data);
        server->setBehaviour(path, Behaviour::longBody(1000));
        loadPool();
        DownloadTaskSpecification* task = makeTask(QStringLiteral("lb.bin"));
        QSignalSpy finished(task, &TaskSpecification::finished);
        task->execute();
        QVERIFY(finished.wait(5000));
        QFile file(localPath(QStringLiteral("lb.bin")));
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), data.left(3000));
    }

    void uncreatableFileFailsWithoutRetry()
    {
        TestHttpServer* server = addServer();
        server->setFile(served(QStringLiteral("n.bin")), content(10));
        loadPool();
        tasks.push_back(std::make_unique<DownloadTaskSpecification>(
            nam.get(), pool.get(), QStringLiteral("n.bin"), tmp->filePath(QStringLiteral("missing/dir/n.bin")), -1,
            nullptr, 1.0));
        DownloadTaskSpecification* task = tasks.back().get();
        QSignalSpy errors(task, &TaskSpecification::error);
        task->execute();
        QCOMPARE(task->getState(), int(StateErrorCanceled));
        QCOMPARE(texts(errors), QStringList{QStringLiteral("Unable to create file %1 for saving")
                                                .arg(tmp->filePath(QStringLiteral("missing/dir/n.bin")))});
        QCOMPARE(pool->getMirrorList().at(0).errorCount, 0);
        QCOMPARE(server->totalRequests(), 0);
    }

    // The installed file may be the old download under a second name: a new download
    // writes a new file and leaves that one alone.
    // A download writes a new file, whether it makes it itself or the preparer made it; a
    // prepared file found written to is made afresh, not appended to.
    void downloadWritesANewFile_data()
    {
        QTest::addColumn<bool>("prepared");
        QTest::addColumn<QByteArray>("writtenSince");
        QTest::newRow("made by the download") << false << QByteArray();
        QTest::newRow("made by the preparer") << true << QByteArray();
        QTest::newRow("made by the preparer, written to since") << true << QByteArray("stray");
    }

    void downloadWritesANewFile()
    {
        QFETCH(bool, prepared);
        QFETCH(QByteArray, writtenSince);
        TestHttpServer* server = addServer();
        server->setFile(served(QStringLiteral("f.bin")), QByteArray("fresh"));
        loadPool();
        const QString local = localPath(QStringLiteral("f.bin"));
        QVERIFY(writeTestFile(local, "installed"));
        const QString installed = tmp->filePath(QStringLiteral("installed"));
        QVERIFY(::link(qPrintable(local), qPrintable(installed)) == 0);

        DownloadTaskSpecification* task = makeTask(QStringLiteral("f.bin"));
        if (prepared) {
            auto preparer = std::make_shared<FilePreparer>(QFileInfo(local).path(), QStringList{"f.bin"});
            QTRY_COMPARE(QFileInfo(local).size(), 0);
            if (!writtenSince.isEmpty())
                QVERIFY(writeTestFile(local, writtenSince));
            task->setPreparedFile(preparer, 0);
        }
        QSignalSpy finished(task, &TaskSpecification::finished);
        task->execute();
        QVERIFY(finished.wait(5000));
        QCOMPARE(readTestFile(local), QByteArray("fresh"));
        QCOMPARE(readTestFile(installed), QByteArray("installed"));
    }

    void resetAfterFinishRunsAgain()
    {
        TestHttpServer* server = addServer();
        const QString path = served(QStringLiteral("r.bin"));
        server->setFile(path, content(5000));
        loadPool();
        DownloadTaskSpecification* task = makeTask(QStringLiteral("r.bin"), 5000);
        QSignalSpy finished(task, &TaskSpecification::finished);
        task->execute();
        QVERIFY(finished.wait(5000));
        task->reset();
        // The slot went back when the task finished; reset must not give it back twice.
        QCOMPARE(usedSlots(*pool), 0);
        QCOMPARE(task->getState(), int(StateIdle));
        QCOMPARE(task->getBytesWritten(), qint64(0));
        // The completed file of a finished attempt is kept by reset.
        QVERIFY(QFile::exists(localPath(QStringLiteral("r.bin"))));
        task->execute();
        QVERIFY(finished.wait(5000));
        QCOMPARE(server->requestCount(path), 2);
    }
};

QTEST_GUILESS_MAIN(tst_DownloadTaskSpecification)
#include "tst_downloadtaskspecification.moc"
