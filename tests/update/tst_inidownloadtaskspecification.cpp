#include "core/configuration.h"
#include "core/qrandcompat.h"
#include "net/httpaccessmanager.h"
#include "net/mirrors.h"
#include "support/testsigning.h"
#include "support/mirrorsini.h"
#include "support/taskspy.h"
#include "support/testhttpserver.h"
#include "update/checksignaturetaskspecification.h"
#include "update/inidownloadtaskspecification.h"
#include "update/tomcryptutil.h"

#include <QDir>
#include <QFile>
#include <QNetworkAccessManager>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace {
constexpr int Version = 77;
const QString ClientType = QStringLiteral("client_test");
const QString IniName = ClientType + QStringLiteral(".ini");
const QString SigName = IniName + QStringLiteral(".sig");

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(data) == data.size();
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}

class tst_IniDownloadTaskSpecification : public QObject
{
    Q_OBJECT

private:
    QString servedPath(const QString& name) const { return QStringLiteral("/%1/%2").arg(Version).arg(name); }
    QString localIni() const { return config.tempDir + QLatin1Char('/') + IniName; }
    QString localSig() const { return localIni() + QStringLiteral(".sig"); }

    void serve(const QByteArray& ini, const QByteArray& sig)
    {
        server->setFile(servedPath(IniName), ini);
        server->setFile(servedPath(SigName), sig);
    }

    std::unique_ptr<IniDownloadTaskSpecification> makeTask()
    {
        return std::make_unique<IniDownloadTaskSpecification>(nam.get(), pool.get(), &config, nullptr, 1.0);
    }

    QList<double> weights(const IniDownloadTaskSpecification& task) const
    {
        QList<double> list;
        for (const TaskSpecification* sub : task.getSubTasks())
            list.append(sub->getParentProgressRange());
        return list;
    }

    QByteArray goodIni = "[files]\nbin/app=0123456789abcdef0123456789abcdef\n";
    QByteArray badIni = "[files]\nbin/app=ffffffffffffffffffffffffffffffff\n";
    QByteArray goodSig;
    Configuration config;
    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<HttpAccessManager> nam;
    std::unique_ptr<Mirrors> pool;
    std::unique_ptr<TestHttpServer> server;

private Q_SLOTS:
    void initTestCase()
    {
        crypt_init();
        goodSig = signWithTestKey(goodIni);
        QVERIFY(!goodSig.isEmpty());
        config.clientType = ClientType;
        qsrandCompat(1);
    }

    void init()
    {
        server.reset();
        pool.reset();
        nam.reset();
        tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(tmp->isValid());
        config.tempDir = tmp->filePath(QStringLiteral("work"));
        QVERIFY(QDir().mkpath(config.tempDir));
        server = std::make_unique<TestHttpServer>();
        QVERIFY(server->listen());
        const QString mirrorsIni = tmp->filePath(QStringLiteral("mirrors.ini"));
        QVERIFY(writeMirrorsIni(mirrorsIni, {server.get()}));
        pool = std::make_unique<Mirrors>(nullptr);
        pool->initDefault(mirrorsIni, Version);
        nam = std::make_unique<HttpAccessManager>();
        // As the engine has it: our own client carries every transfer.
        nam->setProxy(QNetworkProxy(QNetworkProxy::NoProxy));
    }

    void cleanup()
    {
        QCOMPARE(usedSlots(*pool), 0);
        // A failed check never costs a mirror anything.
        for (const FTPSiteAccessData& site : pool->getMirrorList())
            QCOMPARE(site.errorCount, 0);
    }

    void fetchesOnlyWhatIsMissing_data()
    {
        QTest::addColumn<bool>("iniPresent");
        QTest::addColumn<bool>("sigPresent");
        QTest::addColumn<QStringList>("fetched");
        QTest::addColumn<QList<double>>("weights");
        QTest::newRow("both present") << true << true << QStringList() << QList<double>{1.0};
        QTest::newRow("signature missing")
            << true << false << QStringList{SigName} << QList<double>{0.3333, 1.0 - 0.3333};
        QTest::newRow("ini missing") << false << true << QStringList{IniName} << QList<double>{0.3333, 1.0 - 0.3333};
        QTest::newRow("both missing") << false << false << QStringList{IniName, SigName}
                                      << QList<double>{0.3333, 0.3333, 1.0 - 2 * 0.3333};
    }

    void fetchesOnlyWhatIsMissing()
    {
        QFETCH(bool, iniPresent);
        QFETCH(bool, sigPresent);
        QFETCH(QStringList, fetched);
        QFETCH(QList<double>, weights);
        serve(goodIni, goodSig);
        if (iniPresent)
            QVERIFY(writeFile(localIni(), goodIni));
        if (sigPresent)
            QVERIFY(writeFile(localSig(), goodSig));

        auto task = makeTask();
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        task->execute();
        QVERIFY(finished.wait(10000));
        QCOMPARE(task->getState(), int(StateFinished));
        QCOMPARE(task->getProgress(), 1.0);
        const QList<double> actualWeights = this->weights(*task);
        QCOMPARE(actualWeights.size(), weights.size());
        for (int i = 0; i < weights.size(); ++i)
            QCOMPARE(actualWeights.at(i), weights.at(i));
        QStringList expectedRequests;
        for (const QString& name : fetched)
            expectedRequests.append(servedPath(name));
        QCOMPARE(server->requestLog(), expectedRequests);
        QCOMPARE(messages.at(0).at(0).toString(), QStringLiteral("Download / check product ini"));
        QVERIFY(!texts(messages).join('\n').contains(QLatin1String("Could not verify")));
        QCOMPARE(readFile(localIni()), goodIni);
        QCOMPARE(task->getRetryCount(), 0);
    }

    void localIniThatFailsIsFetchedAgainWithSignature()
    {
        serve(goodIni, goodSig);
        QVERIFY(writeFile(localIni(), badIni));
        QVERIFY(writeFile(localSig(), goodSig));

        auto task = makeTask();
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        task->execute();
        QVERIFY(finished.wait(10000));
        QCOMPARE(task->getState(), int(StateFinished));
        QCOMPARE(task->getRetryCount(), 1);
        QCOMPARE(server->requestLog(), (QStringList{servedPath(IniName), servedPath(SigName)}));
        const QStringList logged = texts(messages);
        QVERIFY(logged.contains(QStringLiteral("Signature check failed for %1").arg(localIni())));
        QCOMPARE(logged.count(QStringLiteral("Could not verify the product ini file. Retrying")), 1);
        QCOMPARE(readFile(localIni()), goodIni);
    }

    // The whole retry budget against a mirror that always serves an ini its signature does
    // not match: one abort, one end, and no late second verdict from the last check.
    void alwaysFailingCheckAbortsOnce()
    {
        serve(badIni, goodSig);
        auto task = makeTask();
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        QElapsedTimer timer;
        timer.start();
        task->execute();
        QVERIFY(canceled.wait(50000));
        qInfo("%d failed checks took %lld ms", task->getRetryCount(), timer.elapsed());
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
        QCOMPARE(task->getState(), int(StateErrorCanceled));
        QVERIFY(task->signatureRefused());
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(finished.count(), 0);
        const int retries = IniDownloadTaskSpecification::MaxRetries;
        QCOMPARE(task->getRetryCount(), retries + 1);
        const QStringList logged = texts(messages);
        QCOMPARE(logged.count(QStringLiteral("Could not verify the product ini file. Retrying")), retries);
        QCOMPARE(logged.count(QStringLiteral("Could not verify the product ini file. Aborting")), 1);
        QCOMPARE(logged.last(), QStringLiteral("Could not verify the product ini file. Aborting"));
        QCOMPARE(server->requestCount(servedPath(IniName)), retries + 1);
        QCOMPARE(server->requestCount(servedPath(SigName)), retries + 1);
    }

    // A cancel that arrives while a failing check runs ends the task instead of retrying.
    void userCancelDuringFailingCheckStartsNoRetry()
    {
        serve(goodIni, goodSig);
        QVERIFY(writeFile(localIni(), badIni));
        QVERIFY(writeFile(localSig(), goodSig));
        auto task = makeTask();
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        task->execute();
        TaskSpecification* check = task->getSubTasks().constLast();
        int checkStateAtCancel = -1;
        // Queued behind the start of the check, ahead of its result.
        QTimer::singleShot(0, this, [&] {
            checkStateAtCancel = check->getState();
            task->userCanceled();
        });
        QVERIFY(canceled.wait(10000));
        QCoreApplication::processEvents();
        QCOMPARE(checkStateAtCancel, int(StateRunning));
        QCOMPARE(task->getState(), int(StateUserCanceled));
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(finished.count(), 0);
        QCOMPARE(server->totalRequests(), 0);
        QCOMPARE(texts(messages).count(QStringLiteral("Could not verify the product ini file. Retrying")), 0);
    }

    void failedDownloadEndsWithoutRetry()
    {
        // The only mirror lacks the files: it is dropped and the pool runs dry.
        auto task = makeTask();
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        task->execute();
        QVERIFY(canceled.wait(10000));
        QCOMPARE(task->getState(), int(StateErrorCanceled));
        QVERIFY(!task->signatureRefused());
        QCOMPARE(task->getRetryCount(), 0);
        QVERIFY(!texts(messages).join('\n').contains(QLatin1String("Could not verify")));
        QCOMPARE(server->totalRequests(), 1);
    }

    void runsAgainAfterResetFromFailure()
    {
        serve(goodIni, goodSig);
        const QString workDir = config.tempDir;
        config.tempDir = tmp->filePath(QStringLiteral("not/yet"));
        auto task = makeTask();
        QSignalSpy canceled(task.get(), &TaskSpecification::canceled);
        task->execute();
        QVERIFY(canceled.wait(10000));
        QCOMPARE(task->getState(), int(StateErrorCanceled));

        QVERIFY(QDir().mkpath(config.tempDir));
        task->reset();
        QCOMPARE(task->getState(), int(StateIdle));
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        task->execute();
        QVERIFY(finished.wait(10000));
        QCOMPARE(readFile(localIni()), goodIni);
        config.tempDir = workDir;
    }

    // The discarded transfer held the only mirror's only slot: the new attempt must get it.
    void resetDuringStalledDownloadRunsAgain()
    {
        serve(goodIni, goodSig);
        server->setBehaviour(servedPath(IniName), TestHttpServer::Behaviour::stallAfter(10).once());
        auto task = makeTask();
        task->execute();
        QTRY_COMPARE(server->requestCount(servedPath(IniName)), 1);
        task->reset();
        QSignalSpy finished(task.get(), &TaskSpecification::finished);
        QSignalSpy messages(task.get(), &TaskSpecification::message);
        task->execute();
        QVERIFY(finished.wait(10000));
        QCOMPARE(readFile(localIni()), goodIni);
        // The partial ini went with its transfer; it was not taken for a finished download.
        QCOMPARE(server->requestLog(), (QStringList{servedPath(IniName), servedPath(IniName), servedPath(SigName)}));
        QVERIFY(!texts(messages).join('\n').contains(QLatin1String("Could not verify")));
    }
};

QTEST_GUILESS_MAIN(tst_IniDownloadTaskSpecification)
#include "tst_inidownloadtaskspecification.moc"
