// Kills a real update process (kill -9) at seeded random points of its download and
// install phases, runs it again, and checks that no kill leaves an installation that is
// neither the old nor the new release. The same executable is the update process when
// started with --update-child: the engine runs as in the program, without the window.
#include "core/configuration.h"
#include "core/updateengine.h"
#include "support/mirrorsini.h"
#include "support/testfiles.h"
#include "support/testhttpserver.h"
#include "support/testrelease.h"
#include "support/treesnapshot.h"
#include "update/filespecifications.h"

#include <QApplication>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>

namespace {
const QString ClientType = QStringLiteral("client_test");

// The update process: start-up's leftover removal, then one unattended update. Exit code 0
// after success, 1 after a failure; every log line goes to stderr.
int runUpdateChild(int argc, char* argv[])
{
    QApplication app(argc, argv);
    const QString root = QString::fromLocal8Bit(argv[2]);
    Configuration::setAppRootPath(root);
    UpdateEngine::removeOldFiles(root);
    Configuration configuration;
    configuration.clientType = ClientType;
    configuration.clientVersion = QByteArray(argv[3]).toInt();
    UpdateEngine engine(configuration, nullptr);
    const auto log = [](const QString& line) { std::fprintf(stderr, "%s\n", qPrintable(line)); };
    QObject::connect(&engine, &UpdateEngine::message, &app, log);
    QObject::connect(&engine, &UpdateEngine::error, &app, log);
    QObject::connect(&engine, &UpdateEngine::fatalError, &app, [](const QString& text) {
        std::fprintf(stderr, "fatal: %s\n", qPrintable(text));
        QCoreApplication::exit(2);
    });
    QObject::connect(&engine, &UpdateEngine::updateFinished, &app, [] { QCoreApplication::exit(0); });
    QObject::connect(&engine, &UpdateEngine::updateCanceled, &app, [] { QCoreApplication::exit(1); });
    if (!engine.initialize() || !engine.startUpdate())
        return 1;
    return app.exec();
}

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray data(size, Qt::Uninitialized);
    QRandomGenerator(seed).fillRange(reinterpret_cast<quint32*>(data.data()), size / 4);
    return data;
}

// Installed paths to contents, leaving out the settings files and the special files'
// old copies, which start-up removes.
QMap<QString, QByteArray> installationOf(const QString& root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        const QString path = base.relativeFilePath(it.next());
        const QString name = QFileInfo(path).fileName();
        if (path == QLatin1String("update.ini") || path == QLatin1String("mirrors.ini"))
            continue;
        if (name.startsWith(QLatin1String("_old_"))
            && Configuration::getSpecialFileNames().contains(name.mid(5)))
            continue;
        files.insert(path, readTestFile(it.filePath()));
    }
    return files;
}
}

class TestCrashConsistency : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void killedUpdateEndsInOneRelease_data();
    void killedUpdateEndsInOneRelease();
    void summary();

private:
    struct Run
    {
        int exitCode = -1;
        bool killed = false;
        QByteArray log;
        qint64 installStartMs = -1; // when the install phase began, as its log line arrived
    };
    // Starts the update process and kills it killAfterMs after its start, or after the start
    // of its install phase; a negative time lets it end.
    Run runUpdate(int killAfterMs, bool fromInstallStart = false);
    bool resetSandbox();

    TestRelease oldRelease{1, ClientType};
    TestRelease newRelease{2, ClientType};
    std::unique_ptr<QTemporaryDir> sandbox;
    QString root;
    std::vector<std::unique_ptr<TestHttpServer>> servers;
    qint64 fullRunMs = 0;
    qint64 installStartMs = 0;
    int runs = 0;
    int intact = 0;
    int crashes = 0;
    int kills = 0;
};

bool TestCrashConsistency::resetSandbox()
{
    servers.clear();
    sandbox = std::make_unique<QTemporaryDir>();
    root = sandbox->filePath(QStringLiteral("install"));
    const QString mirrorRoot = sandbox->filePath(QStringLiteral("mirror"));
    if (!QDir().mkpath(root) || !QDir().mkpath(sandbox->filePath(QStringLiteral("tmp")))
        || !oldRelease.install(root) || !newRelease.publish(mirrorRoot))
        return false;
    QList<TestHttpServer*> list;
    for (int i = 0; i < 2; ++i) {
        servers.push_back(std::make_unique<TestHttpServer>());
        if (!servers.back()->listen())
            return false;
        servers.back()->setRootDirectory(mirrorRoot);
        list << servers.back().get();
    }
    // A neighbour of the installation that no run may touch.
    return writeMirrorsIni(root + QStringLiteral("/mirrors.ini"), list)
        && writeTestFile(sandbox->filePath(QStringLiteral("neighbour/keep.txt")), "untouched");
}

TestCrashConsistency::Run TestCrashConsistency::runUpdate(int killAfterMs, bool fromInstallStart)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TMPDIR"), sandbox->filePath(QStringLiteral("tmp")));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    process.setProcessEnvironment(env);
    process.setProcessChannelMode(QProcess::SeparateChannels);
    process.start(QCoreApplication::applicationFilePath(),
                  {QStringLiteral("--update-child"), root, QString::number(newRelease.version)});
    Run run;
    if (!process.waitForStarted())
        return run;
    QElapsedTimer clock;
    clock.start();
    // The mirrors live in this process: keep its event loop running while waiting.
    const auto ended = [&] {
        run.log += process.readAllStandardError();
        if (run.installStartMs < 0 && run.log.contains("Starting file updates"))
            run.installStartMs = clock.elapsed();
        return process.state() == QProcess::NotRunning;
    };
    if (fromInstallStart && !QTest::qWaitFor([&] { return ended() || run.installStartMs >= 0; }, 60000))
        return run;
    if (killAfterMs >= 0 && !QTest::qWaitFor(ended, killAfterMs)) {
        process.kill();
        run.killed = true;
    }
    if (!QTest::qWaitFor(ended, 60000)) {
        process.kill();
        process.waitForFinished();
    }
    run.log += process.readAllStandardError();
    if (!run.killed && process.exitStatus() == QProcess::CrashExit)
        ++crashes;
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    return run;
}

void TestCrashConsistency::initTestCase()
{
    // Files big enough that downloading, unpacking and checking them takes a while, in and
    // out of directories, one of them a special file.
    oldRelease.files = {{"keep.txt", "same"},
                        {"bin/tool", randomBytes(3 << 20, 1)},
                        {"lib/libcore.so", randomBytes(3 << 20, 2)},
                        {"update", "old updater"},
                        {"obsolete.dat", "bye"}};
    newRelease.files = {{"keep.txt", "same"},
                        // Packs small and unpacks for a while: kills land inside the unpack.
                        {"bin/tool", QByteArray(48 << 20, 'q') + randomBytes(4096, 3)},
                        {"lib/libcore.so", randomBytes(3 << 20, 4)},
                        {"data/big.bin", randomBytes(4 << 20, 5)},
                        {"data/more/new.txt", "new"},
                        {"update", "new updater"}};
    for (int i = 0; i < 24; ++i) {
        const QString name = QStringLiteral("data/many/f%1.txt").arg(i);
        oldRelease.files.insert(name, randomBytes(64 << 10, 100 + i));
        newRelease.files.insert(name, randomBytes(64 << 10, 200 + i));
    }
    newRelease.gzipped << QStringLiteral("bin/tool") << QStringLiteral("data/big.bin");
    newRelease.deleted << QStringLiteral("obsolete.dat");

    // The length of an update that nobody interrupts sets the range of the kill points.
    QVERIFY(resetSandbox());
    QElapsedTimer clock;
    clock.start();
    const Run run = runUpdate(-1);
    fullRunMs = clock.elapsed();
    installStartMs = run.installStartMs;
    QVERIFY2(installStartMs > 0, run.log.constData());
    QVERIFY2(run.exitCode == 0, run.log.constData());
    const QStringList expectedNames = newRelease.files.keys();
    QCOMPARE(installationOf(root).keys(), expectedNames);
    qInfo("an uninterrupted update takes %lld ms, installing from %lld ms", fullRunMs, installStartMs);
}

void TestCrashConsistency::killedUpdateEndsInOneRelease_data()
{
    QTest::addColumn<int>("killAfterMs");
    QTest::addColumn<bool>("inInstallPhase");
    QTest::addColumn<bool>("nextRunFails");
    // QUORVEL_CRASH_POINTS sets how many kill points (default 30); the seed makes them repeatable.
    const int points = qEnvironmentVariableIsSet("QUORVEL_CRASH_POINTS")
        ? qEnvironmentVariableIntValue("QUORVEL_CRASH_POINTS") : 30;
    const quint32 seed = qEnvironmentVariableIsSet("QUORVEL_CRASH_SEED")
        ? quint32(qEnvironmentVariableIntValue("QUORVEL_CRASH_SEED")) : 20261208u;
    QRandomGenerator generator(seed);
    for (int i = 0; i < points; ++i) {
        // Every other point falls into the install phase, counted from its start.
        const bool install = i % 2;
        const int at = int(generator.bounded(quint32(install ? fullRunMs - installStartMs : installStartMs)));
        // A failing run after the kill must find every file whole, old or new.
        const bool fails = install || i % 3 == 2;
        QTest::addRow("%s + %d ms%s", install ? "install" : "start", at, fails ? ", next run fails" : "")
            << at << install << fails;
    }
}

void TestCrashConsistency::killedUpdateEndsInOneRelease()
{
    QFETCH(int, killAfterMs);
    QFETCH(bool, inInstallPhase);
    QFETCH(bool, nextRunFails);
    QVERIFY(resetSandbox());
    const QStringList outsideBefore = snapshotTree(sandbox->filePath(QStringLiteral("neighbour")));
    const QMap<QString, QByteArray> oldFiles = installationOf(root);
    const QMap<QString, QByteArray> newFiles = newRelease.files;
    ++runs;

    const Run killed = runUpdate(killAfterMs, inInstallPhase);
    if (killed.killed)
        ++kills;
    const QList<QByteArray> lines = killed.log.trimmed().split('\n');
    qInfo("killed: %s; last line: %s", killed.killed ? "yes" : "no (ended first)", lines.last().constData());

    if (nextRunFails) {
        // A run whose mirrors answer nothing but 404 must not make things worse: every file
        // is whole, its old or its new version, or its old version under the "_old_" name.
        const QString empty = sandbox->filePath(QStringLiteral("empty"));
        QVERIFY(QDir().mkpath(empty));
        for (auto& server : servers)
            server->setRootDirectory(empty);
        // The downloads are lost too (as when the temporary directory is cleared at a reboot),
        // so this run cannot get past its downloads.
        const QDir temp(sandbox->filePath(QStringLiteral("tmp")));
        for (const QString& session : temp.entryList({QStringLiteral("quorvel_temp_*")}, QDir::Dirs))
            QVERIFY(QDir(temp.filePath(session)).removeRecursively());
        const Run failing = runUpdate(-1);
        QVERIFY2(failing.exitCode == 1, failing.log.constData());
        const QMap<QString, QByteArray> now = installationOf(root);
        QStringList names = oldFiles.keys() + newFiles.keys();
        names.removeDuplicates();
        for (const QString& name : names) {
            FileReplaceSpecification entry;
            entry.filePath = name;
            // Read from disk: the snapshot leaves out the "_old_" copies of special files.
            const QString old = root + QLatin1Char('/') + entry.oldDestFileName();
            const bool oldCopy = QFileInfo::exists(old);
            const bool asOld = now.contains(name)
                ? now.value(name) == oldFiles.value(name, "\x01")
                : oldCopy && readTestFile(old) == oldFiles.value(name, "\x01");
            const bool asNew = now.value(name) == newFiles.value(name, "\x01");
            const bool gone = !now.contains(name) && !oldCopy;
            QVERIFY2(asOld || asNew || (gone && (!oldFiles.contains(name) || !newFiles.contains(name))),
                     qPrintable(name));
        }
        for (auto& server : servers)
            server->setRootDirectory(sandbox->filePath(QStringLiteral("mirror")));
    }

    const Run recovery = runUpdate(-1);
    QVERIFY2(recovery.exitCode == 0, recovery.log.constData());
    QCOMPARE(installationOf(root), newFiles);
    QCOMPARE(snapshotTree(sandbox->filePath(QStringLiteral("neighbour"))), outsideBefore);
    // The session's download directory goes with the successful run.
    QCOMPARE(QDir(sandbox->filePath(QStringLiteral("tmp"))).entryList({QStringLiteral("quorvel_temp_*")}, QDir::AllEntries),
             QStringList());
    ++intact;
}

void TestCrashConsistency::summary()
{
    qInfo("crash consistency: %d runs (%d killed mid-way), %d installations intact, %d crashes", runs, kills, intact,
          crashes);
    QCOMPARE(crashes, 0);
}

int main(int argc, char* argv[])
{
    if (argc == 4 && qstrcmp(argv[1], "--update-child") == 0)
        return runUpdateChild(argc, argv);
    QCoreApplication app(argc, argv);
    TestCrashConsistency test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}

#include "tst_crashconsistency.moc"
