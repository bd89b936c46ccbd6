#include "core/configuration.h"
#include "net/downloadfiletaskspecification.h"
#include "net/mirrors.h"
#include "support/mirrorsini.h"
#include "support/testfiles.h"
#include "support/testhttpserver.h"
#include "update/checksignaturetaskspecification.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {
constexpr int version = 1234;
const QByteArray goodContent = QByteArray(10000, 'g');
const QByteArray corruptContent = QByteArray(10000, 'c');



}

class tst_DownloadFileTaskSpecification : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<QNetworkAccessManager> manager;
    std::unique_ptr<Mirrors> mirrors;
    QList<TestHttpServer*> servers;
    Configuration config;
    QStringList messages;

    // A pool of `count` mirrors, each a server of its own.
    bool makeMirrors(int count)
    {
        return startTestMirrors(count, this, dir->filePath("mirrors.ini"), version, *mirrors, servers);
    }

    void serveEverywhere(const QString& path, const QByteArray& content)
    {
        for (TestHttpServer* server : std::as_const(servers))
            server->setFile(path, content);
    }

    FileDownloadSpecification item(const QString& filePath) const
    {
        return {QStringLiteral("files"), filePath, md5Hex(goodContent), goodContent.size()};
    }

    std::unique_ptr<DownloadFileTaskSpecification> makeTask(const FileDownloadSpecification& entry, double weight = 1.0)
    {
        auto task = std::make_unique<DownloadFileTaskSpecification>(entry, manager.get(), mirrors.get(), &config,
                                                                    nullptr, weight);
        connect(task.get(), &TaskSpecification::message, this, [this](const QString& m) { messages << m; });
        return task;
    }

    // The server that the pool lists under `name`.
    TestHttpServer* serverNamed(const QString& name) const
    {
        for (int i = 0; i < servers.size(); ++i) {
            if (testMirrorName(i) == name)
                return servers[i];
        }
        return nullptr;
    }

private Q_SLOTS:
    void init()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        QVERIFY(QDir(dir->path()).mkpath("work"));
        config.tempDir = dir->filePath("work");
        manager = std::make_unique<QNetworkAccessManager>();
        manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
        mirrors = std::make_unique<Mirrors>(nullptr);
        connect(mirrors.get(), &Mirrors::message, this, [this](const QString& m) { messages << m; });
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

    void corruptMirrorIsRemovedAndAnotherUsed()
    {
        QVERIFY(makeMirrors(2));
        const QString path = QStringLiteral("/%1/files/a.bin").arg(version);
        // Whichever mirror is asked first serves corrupt bytes, every later request good ones.
        int requests = 0;
        TestHttpServer* corruptServer = nullptr;
        for (TestHttpServer* server : std::as_const(servers)) {
            connect(server, &TestHttpServer::requestReceived, this, [&, server] {
                if (++requests == 1)
                    corruptServer = server;
                server->setFile(path, requests == 1 ? corruptContent : goodContent);
            });
        }

        auto task = makeTask(item("a.bin"));
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        task->execute();
        QVERIFY(finished.wait(10000));

        QCOMPARE(task->getState(), int(StateFinished));
        QCOMPARE(requests, 2);
        QVERIFY(corruptServer);
        QCOMPARE(corruptServer->requestCount(path), 1);
        QCOMPARE(mirrors->getMirrorList().size(), 1);
        QCOMPARE(serverNamed(mirrors->getMirrorList()[0].name)->requestCount(path), 1);
        QVERIFY(mirrors->getMirrorList()[0].name != testMirrorName(servers.indexOf(corruptServer)));
        QCOMPARE(messages.count("md5 sum for a.bin failed, invalidating mirror and retrying"), 1);
        // The corrupt copy was overwritten by the good one.
        QCOMPARE(readTestFile(config.tempDir + "/a.bin"), goodContent);
        QCOMPARE(usedSlots(*mirrors), 0);
    }

    void twoCorruptMirrorsEndTheTaskFailed()
    {
        QVERIFY(makeMirrors(2));
        serveEverywhere(QStringLiteral("/%1/files/a.bin").arg(version), corruptContent);

        auto task = makeTask(item("a.bin"));
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        task->execute();
        QVERIFY(canceled.wait(10000));

        QCOMPARE(task->getState(), int(StateErrorCanceled));
        QVERIFY(mirrors->getMirrorList().isEmpty());
        QCOMPARE(messages.count("md5 sum for a.bin failed, invalidating mirror and retrying"), 2);
        QCOMPARE(messages.count("There are no (more) known working mirrors available"), 1);
        QCOMPARE(servers[0]->totalRequests() + servers[1]->totalRequests(), 2);
    }

    // The check cannot be interrupted; when it fails after the user cancelled, the task
    // ends user-cancelled instead of starting a new download (or finishing with a bad file).
    void userCancelDuringFailingCheckStartsNoNewAttempt()
    {
        QVERIFY(makeMirrors(2));
        serveEverywhere(QStringLiteral("/%1/files/a.bin").arg(version), corruptContent);

        auto task = makeTask(item("a.bin"));
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        task->execute();
        TaskSpecification* download = task->getSubTasks().at(0);
        TaskSpecification* check = task->getSubTasks().at(1);
        int checkStateAtCancel = -1;
        connect(download, &TaskSpecification::finished, this, [&] {
            // Without the sum taken while writing, the check reads the file on the pool,
            // which leaves room for a cancel while it runs.
            static_cast<CheckSignatureTaskSpecification*>(check)->setWrittenMd5(QString());
            // Queued behind the start of the check, ahead of its result: two hops, as the
            // composite hears of the end after this connection.
            QTimer::singleShot(0, this, [&] {
                QTimer::singleShot(0, this, [&] {
                    checkStateAtCancel = check->getState();
                    task->userCanceled();
                });
            });
        });
        QVERIFY(canceled.wait(10000));
        QCoreApplication::processEvents();

        QCOMPARE(checkStateAtCancel, int(StateRunning));
        QCOMPARE(task->getState(), int(StateUserCanceled));
        QCOMPARE(canceled.size(), 1);
        QCOMPARE(finished.size(), 0);
        QCOMPARE(servers[0]->totalRequests() + servers[1]->totalRequests(), 1);
        QCOMPARE(mirrors->getMirrorList().size(), 1);
        QCOMPARE(messages.count("md5 sum for a.bin failed, invalidating mirror and retrying"), 0);
        QCOMPARE(usedSlots(*mirrors), 0);
    }

    void progressAfterDownloadBeforeCheck()
    {
        QVERIFY(makeMirrors(1));
        serveEverywhere(QStringLiteral("/%1/files/a.bin").arg(version), goodContent);

        auto task = makeTask(item("a.bin"), 0.5);
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        task->execute();
        const QList<TaskSpecification*> pair = task->getSubTasks();
        QCOMPARE(pair.size(), 2);
        double atDownloadEnd = -1;
        int checkStateAtDownloadEnd = -1;
        connect(pair[0], &TaskSpecification::finished, this, [&] {
            atDownloadEnd = task->getProgress();
            checkStateAtDownloadEnd = pair[1]->getState();
        });
        QVERIFY(finished.wait(10000));

        QCOMPARE(atDownloadEnd, 0.4);
        QCOMPARE(checkStateAtDownloadEnd, int(StateIdle));
        QCOMPARE(task->getProgress(), 0.5);
    }

    // A finished file lets its transfer and check go but reports what they would: the bytes
    // for good, the speed of its last second once.
    void finishedFileReleasesItsStepsAndKeepsTheirFigures()
    {
        QVERIFY(makeMirrors(1));
        serveEverywhere(QStringLiteral("/%1/files/a.bin").arg(version), goodContent);

        auto task = makeTask(item("a.bin"));
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        task->execute();
        const QPointer<TaskSpecification> download = task->getSubTasks().at(0);
        QVERIFY(finished.wait(10000));
        QVERIFY(task->getSubTasks().isEmpty());
        QTRY_VERIFY(download.isNull());

        const quint64 size = quint64(goodContent.size());
        const QList<QList<quint64>> expected{{size, size, size}, {size, size, 0}};
        for (const QList<quint64>& tick : expected) {
            quint64 done = 0, total = 0, speed = 0;
            bool downloading = true;
            task->timeTick(done, total, speed, downloading);
            QCOMPARE((QList<quint64>{done, total, speed}), tick);
            QVERIFY(!downloading);
        }
    }

    void directoryPartIsKeptOnTheMirrorAndOnDisk()
    {
        QVERIFY(makeMirrors(1));
        const QString path = QStringLiteral("/%1/files/plugins/sub/libx.so").arg(version);
        serveEverywhere(path, goodContent);
        QVERIFY(QDir(config.tempDir).mkpath("plugins/sub"));

        auto task = makeTask(item("plugins/sub/libx.so"));
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        task->execute();
        QVERIFY(finished.wait(10000));

        QCOMPARE(servers[0]->requestLog(), QStringList{path});
        QCOMPARE(readTestFile(config.tempDir + "/plugins/sub/libx.so"), goodContent);
    }

    void resetDuringTransferGivesTheMirrorBack()
    {
        QVERIFY(makeMirrors(1));
        const QString path = QStringLiteral("/%1/files/a.bin").arg(version);
        serveEverywhere(path, goodContent);
        servers[0]->setBehaviour(path, TestHttpServer::Behaviour::stallAfter(100));

        auto task = makeTask(item("a.bin"));
        task->execute();
        QTRY_COMPARE(servers[0]->requestCount(path), 1);
        QCOMPARE(usedSlots(*mirrors), 1);

        task->reset();
        QCOMPARE(usedSlots(*mirrors), 0);
        QCOMPARE(task->getState(), int(StateIdle));
        QVERIFY(task->getSubTasks().isEmpty());

        // And the task can run again from scratch.
        servers[0]->clearBehaviours();
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        task->execute();
        QVERIFY(finished.wait(10000));
        QCOMPARE(readTestFile(config.tempDir + "/a.bin"), goodContent);
    }
};

QTEST_GUILESS_MAIN(tst_DownloadFileTaskSpecification)
#include "tst_downloadfiletaskspecification.moc"
