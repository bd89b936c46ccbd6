// Kills the real program (update_test, run unattended in a test installation) with kill -9
// at seeded random points of its download and install phases, runs it again, and checks
// that no kill leaves an installation that is neither the old nor the new release.
#include "core/configuration.h"
#include "support/mirrorsini.h"
#include "support/testfiles.h"
#include "support/testhttpserver.h"
#include "support/testrelease.h"
#include "support/treesnapshot.h"
#include "update/filespecifications.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <unistd.h>

namespace {
const QString ClientType = QStringLiteral("client_test");
const QString Updater = QStringLiteral(QUORVEL_BINARY_DIR "/src/update_test");
// The program's name in the installation: not "update", which the releases replace.
const QString ProgramName = QStringLiteral("update_test");

// Installed paths to contents, leaving out the program, the settings files and the special
// files' old copies, which start-up removes.
QMap<QString, QByteArray> installationOf(const QString& root)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    const QDir base(root);
    while (it.hasNext()) {
        const QString path = base.relativeFilePath(it.next());
        const QString name = QFileInfo(path).fileName();
        if (path == QLatin1String("update.ini") || path == QLatin1String("mirrors.ini") || path == ProgramName)
            continue;
        if (name.startsWith(QLatin1String("_old_"))
            && Configuration::getSpecialFileNames().contains(name.mid(5)))
            continue;
        files.insert(path, readTestFile(it.filePath()));
    }
    return files;
}
}

class tst_CrashConsistency : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void killedUpdateEndsInOneRelease_data();
    void killedUpdateEndsInOneRelease();
    void summary();

private:
    enum Phase { Download, Install, Never };
    struct Run
    {
        bool ended = false;  // on its own, or (failing run) once it reported the cancellation
        bool killed = false; // by the test, mid-way
        bool succeeded = false; // ended with code 0 after reporting success
        QByteArray log;
        // When the phases began and the update finished, as their log lines arrived.
        qint64 phaseMs[2] = {-1, -1};
        qint64 finishedMs = -1;
    };
    // Starts the program and kills it killAfterMs after the start of the phase; with Never,
    // lets it end (a failing run ends once it has reported the cancellation).
    Run runUpdate(Phase phase, int killAfterMs = 0);
    bool resetSandbox();

    TestRelease oldRelease{1, ClientType};
    TestRelease newRelease{2, ClientType};
    QTemporaryDir top; // the program's copy, the mirrors' files and the instance guard's runtime directory
    QString program;
    QString mirrorRoot;
    QUdpSocket bannerSink; // the banner query ends here, unanswered
    std::unique_ptr<QTemporaryDir> sandbox;
    QString root;
    std::vector<std::unique_ptr<TestHttpServer>> servers;
    qint64 phaseLengthMs[2] = {0, 0};
    int runs = 0;
    int intact = 0;
    int crashes = 0;
    int kills = 0;
};

bool tst_CrashConsistency::resetSandbox()
{
    servers.clear();
    sandbox = std::make_unique<QTemporaryDir>();
    root = sandbox->filePath(QStringLiteral("install"));
    if (!QDir().mkpath(root) || !QDir().mkpath(sandbox->filePath(QStringLiteral("tmp"))) || !oldRelease.install(root))
        return false;
    // A link, not a copy: the program is large, and it never changes.
    const QString installed = root + QLatin1Char('/') + ProgramName;
    if (::link(QFile::encodeName(program).constData(), QFile::encodeName(installed).constData()) != 0
        && !QFile::copy(program, installed))
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

tst_CrashConsistency::Run tst_CrashConsistency::runUpdate(Phase phase, int killAfterMs)
{
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY", "QUORVEL_SCREENSHOT", "QUORVEL_PRINT_LOG"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("TMPDIR"), sandbox->filePath(QStringLiteral("tmp")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), top.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QUORVEL_AUTOCLOSE_DIALOGS"), QStringLiteral("1"));
    env.insert(QStringLiteral("QUORVEL_LOG_STDERR"), QStringLiteral("1"));
    env.insert(QStringLiteral("QUORVEL_TEST_AUTOSTART_MS"), QStringLiteral("0"));
    env.insert(QStringLiteral("QUORVEL_UPDATE_SERVER_ADDRESS"),
               QStringLiteral("127.0.0.1:%1:%1").arg(bannerSink.localPort()));
    process.setProcessEnvironment(env);
    process.start(root + QLatin1Char('/') + ProgramName,
                  {QStringLiteral("--nouser"), ClientType, QString::number(newRelease.version)});
    Run run;
    if (!process.waitForStarted())
        return run;
    QElapsedTimer clock;
    clock.start();
    // The mirrors live in this process: keep its event loop running while waiting.
    const auto ended = [&] {
        run.log += process.readAllStandardError();
        const char* starts[2] = {"] Downloading files", "] Starting file updates"};
        for (int i = 0; i < 2; ++i) {
            if (run.phaseMs[i] < 0 && run.log.contains(starts[i]))
                run.phaseMs[i] = clock.elapsed();
        }
        // With nothing left to download, the install phase is the next step.
        if (run.phaseMs[Download] < 0 && run.log.contains("] No downloads needed"))
            run.phaseMs[Download] = clock.elapsed();
        if (run.finishedMs < 0 && run.log.contains("] Update successfully finished"))
            run.finishedMs = clock.elapsed();
        return process.state() == QProcess::NotRunning
            || (phase == Never && run.log.contains("] Update cancelled"));
    };
    if (phase != Never) {
        if (QTest::qWaitFor([&] { return ended() || run.phaseMs[phase] >= 0; }, 60000)
            && !QTest::qWaitFor(ended, killAfterMs)) {
            process.kill();
            run.killed = true;
        }
    }
    run.ended = QTest::qWaitFor(ended, 60000);
    // Codes 1 to 6 are the program's own ends after a failure; anything else is a crash (or a
    // sanitizer's finding).
    const bool crashed = process.state() == QProcess::NotRunning && !run.killed
        && (process.exitStatus() == QProcess::CrashExit || process.exitCode() > 6);
    if (crashed) {
        ++crashes;
        qWarning("the program crashed (exit code %d):\n%s", process.exitCode(), run.log.constData());
    }
    run.succeeded = process.state() == QProcess::NotRunning && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0 && run.finishedMs >= 0;
    // Stops a run that is still going: a failing one is not waited for beyond saying so.
    process.kill();
    process.waitForFinished();
    run.ended = run.ended && !crashed;
    return run;
}

void tst_CrashConsistency::initTestCase()
{
    QVERIFY(top.isValid());
    program = top.filePath(ProgramName);
    QVERIFY(QFile::copy(Updater, program));
    QVERIFY(bannerSink.bind(QHostAddress::LocalHost, 0));
    // Files big enough that downloading, unpacking and checking them takes a while, in and
    // out of directories, one of them a special file.
    oldRelease.files = {{"keep.txt", "same"},
                        {"bin/tool", randomTestData(3 << 20, 1)},
                        {"lib/libcore.so", randomTestData(3 << 20, 2)},
                        {"update", "old updater"},
                        {"obsolete.dat", "bye"}};
    newRelease.files = {{"keep.txt", "same"},
                        // Packs small and unpacks for a while: kills land inside the unpack.
                        {"bin/tool", QByteArray(48 << 20, 'q') + randomTestData(4096, 3)},
                        {"lib/libcore.so", randomTestData(3 << 20, 4)},
                        {"data/big.bin", randomTestData(4 << 20, 5)},
                        {"data/more/new.txt", "new"},
                        {"update", "new updater"}};
    for (int i = 0; i < 24; ++i) {
        const QString name = QStringLiteral("data/many/f%1.txt").arg(i);
        oldRelease.files.insert(name, randomTestData(64 << 10, 100 + i));
        newRelease.files.insert(name, randomTestData(64 << 10, 200 + i));
    }
    newRelease.gzipped << QStringLiteral("bin/tool") << QStringLiteral("data/big.bin");
    newRelease.deleted << QStringLiteral("obsolete.dat");
    // Published once: no run writes to the mirrors.
    mirrorRoot = top.filePath(QStringLiteral("mirror"));
    QVERIFY(newRelease.publish(mirrorRoot));

    // The phases of an update that nobody interrupts set the range of the kill points.
    QVERIFY(resetSandbox());
    const Run run = runUpdate(Never);
    QVERIFY2(run.succeeded, run.log.constData());
    QVERIFY2(run.phaseMs[Download] > 0 && run.phaseMs[Install] > run.phaseMs[Download], run.log.constData());
    phaseLengthMs[Download] = run.phaseMs[Install] - run.phaseMs[Download];
    phaseLengthMs[Install] = run.finishedMs - run.phaseMs[Install];
    const QStringList expectedNames = newRelease.files.keys();
    QCOMPARE(installationOf(root).keys(), expectedNames);
    qInfo("an uninterrupted update downloads for %lld ms, then installs for %lld ms", phaseLengthMs[Download],
          phaseLengthMs[Install]);
}

void tst_CrashConsistency::killedUpdateEndsInOneRelease_data()
{
    QTest::addColumn<int>("phase");
    QTest::addColumn<int>("killAfterMs");
    QTest::addColumn<bool>("nextRunFails");
    // QUORVEL_CRASH_POINTS sets how many kill points (default 30); the seed makes them repeatable.
    const int points = qEnvironmentVariableIsSet("QUORVEL_CRASH_POINTS")
        ? qEnvironmentVariableIntValue("QUORVEL_CRASH_POINTS") : 30;
    const quint32 seed = qEnvironmentVariableIsSet("QUORVEL_CRASH_SEED")
        ? quint32(qEnvironmentVariableIntValue("QUORVEL_CRASH_SEED")) : 20261208u;
    QRandomGenerator generator(seed);
    for (int i = 0; i < points; ++i) {
        // Every other point falls into the install phase, each counted from its phase's start.
        const Phase phase = i % 2 ? Install : Download;
        const int at = int(generator.bounded(quint32(qMax<qint64>(1, phaseLengthMs[phase]))));
        // A failing run after the kill must find every file whole, old or new.
        const bool fails = phase == Install || i % 3 == 2;
        QTest::addRow("%s + %d ms%s", phase == Install ? "install" : "download", at, fails ? ", next run fails" : "")
            << int(phase) << at << fails;
    }
}

void tst_CrashConsistency::killedUpdateEndsInOneRelease()
{
    QFETCH(int, phase);
    QFETCH(int, killAfterMs);
    QFETCH(bool, nextRunFails);
    QVERIFY(resetSandbox());
    const QStringList outsideBefore = snapshotTree(sandbox->filePath(QStringLiteral("neighbour")));
    const QMap<QString, QByteArray> oldFiles = installationOf(root);
    const QMap<QString, QByteArray> newFiles = newRelease.files;
    ++runs;

    const Run killed = runUpdate(Phase(phase), killAfterMs);
    QVERIFY2(killed.killed || killed.ended, killed.log.constData());
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
        const Run failing = runUpdate(Never);
        QVERIFY2(failing.ended && !failing.succeeded, failing.log.constData());
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
            server->setRootDirectory(mirrorRoot);
    }

    const Run recovery = runUpdate(Never);
    QVERIFY2(recovery.succeeded, recovery.log.constData());
    QCOMPARE(installationOf(root), newFiles);
    QCOMPARE(snapshotTree(sandbox->filePath(QStringLiteral("neighbour"))), outsideBefore);
    // The session's download directory goes with the successful run.
    QCOMPARE(QDir(sandbox->filePath(QStringLiteral("tmp"))).entryList({QStringLiteral("quorvel_temp_*")}, QDir::AllEntries),
             QStringList());
    ++intact;
}

void tst_CrashConsistency::summary()
{
    qInfo("crash consistency: %d runs (%d killed mid-way), %d installations intact, %d crashes", runs, kills, intact,
          crashes);
    QCOMPARE(crashes, 0);
}

QTEST_GUILESS_MAIN(tst_CrashConsistency)
#include "tst_crashconsistency.moc"
