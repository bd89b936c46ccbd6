#include "core/configuration.h"
#include "net/downloadfilelisttaskspecification.h"
#include "net/mirrors.h"
#include "support/mirrorsini.h"
#include "support/testfiles.h"
#include "support/testhttpserver.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace {
constexpr int version = 1234;


}

class tst_DownloadFileListTaskSpecification : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<QNetworkAccessManager> manager;
    std::unique_ptr<Mirrors> mirrors;
    QList<TestHttpServer*> servers;
    Configuration config;
    QList<FileDownloadSpecification> list;
    QStringList messages;

    bool makeMirrors(int count)
    {
        return startTestMirrors(count, this, dir->filePath("mirrors.ini"), version, *mirrors, servers);
    }

    // Adds a file of `size` bytes to the list and serves it from every mirror.
    void addFile(const QString& filePath, int size, const TestHttpServer::Behaviour& behaviour = {})
    {
        const QByteArray content(size, char('a' + list.size()));
        const QString md5 = QString::fromLatin1(QCryptographicHash::hash(content, QCryptographicHash::Md5).toHex());
        list.append({QStringLiteral("files"), filePath, md5, size});
        const QString path = QStringLiteral("/%1/files/%2").arg(version).arg(filePath);
        for (TestHttpServer* server : std::as_const(servers)) {
            server->setFile(path, content);
            server->setBehaviour(path, behaviour);
        }
    }

    std::unique_ptr<DownloadFileListTaskSpecification> makeTask(double weight = 1.0)
    {
        auto task = std::make_unique<DownloadFileListTaskSpecification>(&list, manager.get(), mirrors.get(), &config,
                                                                        nullptr, weight);
        connect(task.get(), &TaskSpecification::message, this, [this](const QString& m) { messages << m; });
        return task;
    }

    int totalRequests() const
    {
        int n = 0;
        for (const TestHttpServer* server : servers)
            n += server->totalRequests();
        return n;
    }

private Q_SLOTS:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        QVERIFY(QDir(dir->path()).mkpath("work"));
        config.tempDir = dir->filePath("work");
        config.downloadStreams = 6;
        manager = std::make_unique<QNetworkAccessManager>();
        manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        mirrors = std::make_unique<Mirrors>(nullptr);
        list.clear();
        messages.clear();
    }

    void cleanup()
    {
        qDeleteAll(servers);
        servers.clear();
        mirrors.reset();
        manager.reset();
        dir.reset();
    }

    void makesDirectoriesAndEqualWeights()
    {
        QVERIFY(makeMirrors(1));
        addFile("update", 100);
        addFile("plugins/libx.so", 2000);
        addFile("plugins/imageformats/libqgif.so", 30000);

        auto task = makeTask(0.6);
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        // Each file's task exists while it runs; every one seen carries a third.
        int weighed = 0;
        connect(servers[0], &TestHttpServer::requestReceived, this, [&] {
            for (const TaskSpecification* file : task->getSubTasks()) {
                QCOMPARE(file->getParentProgressRange(), 1.0 / 3);
                ++weighed;
            }
        });
        task->execute();
        // Directories are made before anything starts.
        QVERIFY(QFileInfo(config.tempDir + "/plugins").isDir());
        QVERIFY(QFileInfo(config.tempDir + "/plugins/imageformats").isDir());
        QCOMPARE(task->getTotalSize(), qint64(32100));
        QCOMPARE(messages.first(), QString("Downloading files"));

        QVERIFY(finished.wait(10000));
        QVERIFY(weighed >= 3);
        QCOMPARE(task->getState(), int(StateFinished));
        QCOMPARE(task->getProgress(), 0.6);
        QCOMPARE(readTestFile(config.tempDir + "/plugins/imageformats/libqgif.so"), QByteArray(30000, 'c'));
        QCOMPARE(usedSlots(*mirrors), 0);
    }

    void directoryThatCannotBeMadeFailsAtOnce()
    {
        QVERIFY(makeMirrors(1));
        addFile("update", 100);
        addFile("plugins/libx.so", 100);
        // A plain file where the directory should go.
        QFile blocker(config.tempDir + "/plugins");
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();

        auto task = makeTask();
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        task->execute();
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(task->getState(), int(StateErrorCanceled));
        QCOMPARE(messages, (QStringList{"Could not create dir " + QDir(config.tempDir).canonicalPath() + "/plugins",
                                        "Reason: File exists"}));
        QVERIFY(task->getSubTasks().isEmpty());
    }

    void transfersAreLimitedByTheMirrors()
    {
        QVERIFY(makeMirrors(2));
        qint64 total = 0;
        // Each transfer takes a while, so overlapping transfers would be seen by the servers.
        for (int i = 0; i < 10; ++i) {
            addFile(QStringLiteral("f%1.bin").arg(i), 1000 + i, TestHttpServer::Behaviour::trickle(400, 15));
            total += 1000 + i;
        }

        auto task = makeTask();
        int maxOpen = 0;
        int maxFileTasksRunning = 0;
        for (TestHttpServer* server : std::as_const(servers)) {
            connect(server, &TestHttpServer::requestReceived, this, [&] {
                maxOpen = qMax(maxOpen, servers[0]->openConnections() + servers[1]->openConnections());
                int running = 0;
                for (const TaskSpecification* file : task->getSubTasks())
                    running += file->getState() == StateRunning ? 1 : 0;
                maxFileTasksRunning = qMax(maxFileTasksRunning, running);
            });
        }
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        task->execute();

        quint64 done = 0, downloadTotal = 0, speed = 0;
        bool downloading = false;
        task->timeTick(done, downloadTotal, speed, downloading);
        QCOMPARE(downloadTotal, quint64(total));

        QVERIFY(finished.wait(20000));
        QCOMPARE(totalRequests(), 10);
        QCOMPARE(maxOpen, 2);
        // Six files are in flight; the ones without a mirror wait for one.
        QCOMPARE(maxFileTasksRunning, 6);
        done = downloadTotal = speed = 0;
        task->timeTick(done, downloadTotal, speed, downloading);
        QCOMPARE(downloadTotal, quint64(total));
        QCOMPARE(done, quint64(total));
        QCOMPARE(usedSlots(*mirrors), 0);
    }

    void emptyListFinishesAtOnce()
    {
        QVERIFY(makeMirrors(1));
        auto task = makeTask(0.7);
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        task->execute();
        QCOMPARE(finished.count(), 1);
        QCOMPARE(task->getState(), int(StateFinished));
        QCOMPARE(task->getProgress(), 0.7);
        QCOMPARE(messages, QStringList{"No downloads needed"});
        QCOMPARE(totalRequests(), 0);
    }

    void resetThenExecuteRebuildsFromTheCurrentList()
    {
        QVERIFY(makeMirrors(2));
        addFile("a.bin", 500);
        auto task = makeTask();
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        task->execute();
        QVERIFY(finished.wait(10000));

        addFile("b.bin", 700);
        task->reset();
        QCOMPARE(task->getState(), int(StateIdle));
        QCOMPARE(task->getTotalSize(), qint64(0));
        QCOMPARE(task->getProgress(), 0.0);
        QVERIFY(task->getSubTasks().isEmpty());

        task->execute();
        QCOMPARE(task->getTotalSize(), qint64(1200));
        QVERIFY(finished.wait(10000));
        QCOMPARE(task->getState(), int(StateFinished));
        QCOMPARE(totalRequests(), 3);
        QCOMPARE(usedSlots(*mirrors), 0);
    }

    void resetDuringTransfersGivesTheMirrorsBack()
    {
        QVERIFY(makeMirrors(2));
        for (int i = 0; i < 4; ++i)
            addFile(QStringLiteral("f%1.bin").arg(i), 1000, TestHttpServer::Behaviour::stallAfter(10));
        auto task = makeTask();
        task->execute();
        QTRY_COMPARE(totalRequests(), 2);
        QCOMPARE(usedSlots(*mirrors), 2);

        task->reset();
        QCOMPARE(usedSlots(*mirrors), 0);
        QCOMPARE(task->getState(), int(StateIdle));
        // Nothing of the discarded run starts a transfer later.
        QTest::qWait(100);
        QCOMPARE(totalRequests(), 2);
    }

    // The files that never got their transfer leave nothing behind, not even an empty file
    // made ahead for them.
    void oneFileFailingFailsTheList()
    {
        QVERIFY(makeMirrors(1));
        addFile("good.bin", 100);
        addFile("bad.bin", 100);
        for (int i = 0; i < 50; ++i)
            addFile(QStringLiteral("later/%1.bin").arg(i), 100);
        list[1].md5Sum = QString(32, '0');
        auto task = makeTask();
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        task->execute();
        QVERIFY(canceled.wait(10000));
        QCOMPARE(task->getState(), int(StateErrorCanceled));
        QVERIFY(messages.contains("md5 sum for bad.bin failed, invalidating mirror and retrying"));
        QCOMPARE(readTestFile(config.tempDir + "/good.bin"), QByteArray(100, 'a'));
        QCOMPARE(QDir(config.tempDir + "/later").entryList(QDir::Files), QStringList());
    }
};

QTEST_GUILESS_MAIN(tst_DownloadFileListTaskSpecification)
#include "tst_downloadfilelisttaskspecification.moc"
