// The real `update` executable, started as a process the way users and scripts start it.
#include "support/testsigning.h"
#include "support/mirrorsini.h"
#include "support/referenceserver.h"
#include "support/testfiles.h"
#include "support/testhttpserver.h"
#include "support/treesnapshot.h"
#include "update/tomcryptutil.h"

#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <algorithm>
#include <csignal>
#include <memory>
#include <vector>

namespace {
// The program built with the tests' key (and assertions), so test releases verify.
const QString updateBinary = QStringLiteral(QUORVEL_BINARY_DIR "/src/update_test");

const QString translationsDir = QStringLiteral(QUORVEL_BINARY_DIR "/src/translations");

// An installation directory holding a copy of the executable and its translations.
bool install(const QTemporaryDir& dir, QString& executable)
{
    executable = dir.path() + QStringLiteral("/update");
    if (!QFile::copy(updateBinary, executable)
        || !QFile::setPermissions(executable, QFile::permissions(updateBinary))
        || !QDir(dir.path()).mkdir(QStringLiteral("translations")))
        return false;
    const QStringList translations = QDir(translationsDir).entryList({QStringLiteral("*.qm")}, QDir::Files);
    for (const QString& name : translations) {
        if (!QFile::copy(translationsDir + QLatin1Char('/') + name, dir.path() + QStringLiteral("/translations/") + name))
            return false;
    }
    return !translations.isEmpty();
}

bool waitForText(QProcess& process, QByteArray& collected, const QByteArray& text, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    while (!collected.contains(text)) {
        if (clock.elapsed() > timeoutMs || process.state() == QProcess::NotRunning)
            return collected.contains(text);
        process.waitForReadyRead(100);
        collected += process.readAllStandardError();
    }
    return true;
}

// Whether the process has a handler for the signal now, as the kernel shows it.
bool catchesSignal(pid_t pid, int number)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (number - 1)) & 1;
    }
    return false;
}

void stop(QProcess& process)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.kill();
    process.waitForFinished(5000);
}
}

class tst_Startup : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void invalidVersionEndsWithCodeOne();
    void versionZeroAsksServerAndShowsWindow();
    void secondStartRaisesFirstAndEndsWithZero();
    void copyInAnotherDirectoryIsNotBlocked();
    void simultaneousStartsLeaveOneRunning();
    void removesOldSpecialFiles();
    void errorBoxTranslatedOrCaptured_data();
    void errorBoxTranslatedOrCaptured();
    void unattendedUpdateInstallsAndStartsClient();
    void endsByItselfWithDocumentedCode_data();
    void endsByItselfWithDocumentedCode();

private:
    QProcessEnvironment environment() const;

    std::unique_ptr<QTemporaryDir> tmp;
    // Banner queries of the windows started here end in this silent socket.
    QUdpSocket bannerSink;
};

void tst_Startup::init()
{
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp->isValid());
    if (bannerSink.state() != QAbstractSocket::BoundState)
        QVERIFY(bannerSink.bind(QHostAddress::LocalHost, 0));
}

QProcessEnvironment tst_Startup::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QUORVEL_AUTOCLOSE_DIALOGS"), QStringLiteral("1"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("quorvel.instance.info=true"));
    // The instance guard's socket files go here, away from other runs.
    env.insert(QStringLiteral("TMPDIR"), tmp->path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), tmp->path());
    env.remove(QStringLiteral("QUORVEL_SCREENSHOT"));
    if (bannerSink.state() == QAbstractSocket::BoundState) {
        const QString port = QString::number(bannerSink.localPort());
        env.insert(QStringLiteral("QUORVEL_UPDATE_SERVER_ADDRESS"), QStringLiteral("127.0.0.1:%1:%1").arg(port));
    }
    return env;
}

void tst_Startup::invalidVersionEndsWithCodeOne()
{
    QTemporaryDir installation;
    QString executable;
    QVERIFY(install(installation, executable));
    QProcess update;
    update.setProcessEnvironment(environment());
    update.start(executable, {QStringLiteral("client_linux_amd64"), QStringLiteral("12x")});
    QVERIFY(update.waitForFinished(10000));
    QCOMPARE(update.exitStatus(), QProcess::NormalExit);
    QCOMPARE(update.exitCode(), 1);
    QVERIFY2(update.readAllStandardError().contains("Error: Invalid version nr (12x)"), "no error box");
}

void tst_Startup::versionZeroAsksServerAndShowsWindow()
{
    QFile config(tmp->filePath(QStringLiteral("server.conf")));
    QVERIFY(config.open(QIODevice::WriteOnly));
    config.write("[stable]\nversion = 4711\nlabel = 3.4.7\n[news]\ntext = Fresh news\n");
    config.close();
    ReferenceServer server;
    QVERIFY(server.start(config.fileName()));

    QTemporaryDir installation;
    QString executable;
    QVERIFY(install(installation, executable));
    const QString screenshot = tmp->filePath(QStringLiteral("window.png"));
    QProcessEnvironment env = environment();
    env.insert(QStringLiteral("QUORVEL_UPDATE_SERVER_ADDRESS"), server.address());
    env.insert(QStringLiteral("QUORVEL_SCREENSHOT"), screenshot);
    QProcess update;
    update.setProcessEnvironment(env);
    update.start(executable, {QStringLiteral("--nouser"), QStringLiteral("client_linux_amd64"), QStringLiteral("0")});
    QVERIFY(update.waitForFinished(15000));
    QCOMPARE(update.exitCode(), 0);
    QVERIFY(QImage(screenshot).width() > 0);
    QTRY_VERIFY(server.output().contains(QStringLiteral(" version-list ")));
    QTRY_VERIFY(server.output().contains(QStringLiteral(" news ")));
}

void tst_Startup::secondStartRaisesFirstAndEndsWithZero()
{
    QTemporaryDir installation;
    QString executable;
    QVERIFY(install(installation, executable));
    const QStringList arguments{QStringLiteral("client_linux_amd64"), QStringLiteral("123")};

    QProcess first;
    first.setProcessEnvironment(environment());
    first.start(executable, arguments);
    QByteArray firstLog;
    QVERIFY2(waitForText(first, firstLog, "listening", 10000), firstLog.constData());

    QProcess second;
    second.setProcessEnvironment(environment());
    QElapsedTimer clock;
    clock.start();
    second.start(executable, arguments);
    QVERIFY(second.waitForFinished(5000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    // Told on stderr, and in a notice box (auto-closed here, so written there as well).
    const QByteArray told = second.readAllStandardError();
    QVERIFY2(told.split('\n').contains("An update is already running."), told.constData());
    QVERIFY2(told.contains("Quorvel 3 Client Update: An update is already running."), told.constData());
    QVERIFY2(clock.elapsed() < 4000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(waitForText(first, firstLog, "window raised for another instance", 5000), firstLog.constData());
    QCOMPARE(first.state(), QProcess::Running);
    stop(first);
}

void tst_Startup::copyInAnotherDirectoryIsNotBlocked()
{
    QTemporaryDir installation;
    QTemporaryDir otherInstallation;
    QString executable;
    QString otherExecutable;
    QVERIFY(install(installation, executable));
    QVERIFY(install(otherInstallation, otherExecutable));
    const QStringList arguments{QStringLiteral("client_linux_amd64"), QStringLiteral("123")};

    QProcess first;
    first.setProcessEnvironment(environment());
    first.start(executable, arguments);
    QByteArray firstLog;
    QVERIFY2(waitForText(first, firstLog, "listening", 10000), firstLog.constData());

    QProcess other;
    other.setProcessEnvironment(environment());
    other.start(otherExecutable, arguments);
    QByteArray otherLog;
    // The copy has its own guard name, so it starts its own window.
    QVERIFY2(waitForText(other, otherLog, "listening", 10000), otherLog.constData());
    QCOMPARE(other.state(), QProcess::Running);
    firstLog += first.readAllStandardError();
    QVERIFY(!firstLog.contains("window raised"));
    stop(other);
    stop(first);
}

void tst_Startup::simultaneousStartsLeaveOneRunning()
{
    QTemporaryDir installation;
    QString executable;
    QVERIFY(install(installation, executable));
    const QStringList arguments{QStringLiteral("client_linux_amd64"), QStringLiteral("123")};
    constexpr int starts = 4;
    for (int round = 0; round < 2; ++round) {
        std::vector<std::unique_ptr<QProcess>> processes;
        for (int i = 0; i < starts; ++i) {
            processes.push_back(std::make_unique<QProcess>());
            processes.back()->setProcessEnvironment(environment());
        }
        for (auto& process : processes)
            process->start(executable, arguments);
        // Every start but one hands over to the one that goes on and ends with code 0.
        QTRY_COMPARE_WITH_TIMEOUT(std::count_if(processes.begin(), processes.end(),
                                                [](const auto& p) { return p->state() == QProcess::NotRunning; }),
                                  starts - 1, 20000);
        int running = 0;
        for (auto& process : processes) {
            if (process->state() != QProcess::NotRunning) {
                ++running;
                QByteArray log;
                QVERIFY2(waitForText(*process, log, "window raised for another instance", 5000), log.constData());
                stop(*process);
            } else {
                QCOMPARE(process->exitStatus(), QProcess::NormalExit);
                QCOMPARE(process->exitCode(), 0);
            }
        }
        QCOMPARE(running, 1);
    }
}

void tst_Startup::removesOldSpecialFiles()
{
    QTemporaryDir installation;
    QString executable;
    QVERIFY(install(installation, executable));
    QDir dir(installation.path());
    QVERIFY(dir.mkdir(QStringLiteral("imageformats")));
    QVERIFY(dir.mkdir(QStringLiteral("accessible")));
    const QStringList leftovers{QStringLiteral("_old_update"), QStringLiteral("imageformats/_old_libqjpeg.so"),
                                QStringLiteral("accessible/_old_libqtaccessiblewidgets.so")};
    // Each leftover beside its file; "_old_libqgif.so" alone, the only copy of that file.
    const QStringList kept{QStringLiteral("_old_other"), QStringLiteral("imageformats/_old_libqgif.so")};
    for (const QString& name : leftovers + kept + QStringList{"imageformats/libqjpeg.so",
                                                              "accessible/libqtaccessiblewidgets.so"}) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }

    QProcess update;
    update.setProcessEnvironment(environment());
    update.start(executable, {QStringLiteral("client_linux_amd64"), QStringLiteral("12x")});
    QVERIFY(update.waitForFinished(10000));
    QCOMPARE(update.exitCode(), 1);
    for (const QString& name : leftovers)
        QVERIFY2(!dir.exists(name), qPrintable(name));
    for (const QString& name : kept)
        QVERIFY2(dir.exists(name), qPrintable(name));
}

void tst_Startup::errorBoxTranslatedOrCaptured_data()
{
    QTest::addColumn<bool>("german");
    QTest::addColumn<bool>("screenshot");
    QTest::addColumn<QString>("printed");
    QTest::newRow("German locale") << true << false << QStringLiteral("Fehler: Ungültige Versionsnummer (12x)");
    // A box before the window is shown, without auto-close: captured, then closed.
    QTest::newRow("screenshot of the box") << false << true << QString();
}

void tst_Startup::errorBoxTranslatedOrCaptured()
{
    QFETCH(bool, german);
    QFETCH(bool, screenshot);
    QFETCH(QString, printed);
    QTemporaryDir installation;
    QString executable;
    QVERIFY(install(installation, executable));
    QProcessEnvironment env = environment();
    if (german) {
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
            env.insert(QString::fromLatin1(name), QStringLiteral("de_DE.UTF-8"));
    }
    const QString picture = tmp->filePath(QStringLiteral("box.png"));
    if (screenshot) {
        env.remove(QStringLiteral("QUORVEL_AUTOCLOSE_DIALOGS"));
        env.insert(QStringLiteral("QUORVEL_SCREENSHOT"), picture);
    }
    QProcess update;
    update.setProcessEnvironment(env);
    update.start(executable, {QStringLiteral("client_linux_amd64"), QStringLiteral("12x")});
    QVERIFY(update.waitForFinished(15000));
    const QString errors = QString::fromUtf8(update.readAllStandardError());
    QCOMPARE(update.exitCode(), 1);
    if (!printed.isEmpty())
        QVERIFY2(errors.contains(printed), qPrintable(errors));
    if (screenshot) {
        const QImage box(picture);
        QVERIFY2(box.width() > 100 && box.height() > 50, qPrintable(errors));
        QVERIFY(!errors.contains(QLatin1String("Error: Invalid version nr")));
    }
}

void tst_Startup::unattendedUpdateInstallsAndStartsClient()
{
    crypt_init();
    const QByteArray readme = "installed by the update\n";
    const QByteArray ini = "[bin]\nreadme.txt=" + md5Hex(readme).toLatin1() + "::" + QByteArray::number(readme.size()) + "\n";
    TestHttpServer mirror;
    QVERIFY(mirror.listen());
    mirror.setFile(QStringLiteral("/4711/client_linux_amd64.ini"), ini);
    mirror.setFile(QStringLiteral("/4711/client_linux_amd64.ini.sig"), signWithTestKey(ini));
    mirror.setFile(QStringLiteral("/4711/bin/readme.txt"), readme);

    // A blank in the installation path must not split the client's start script.
    QTemporaryDir installation(tmp->filePath(QStringLiteral("quorvel client XXXXXX")));
    QString executable;
    QVERIFY(install(installation, executable));
    QVERIFY(writeMirrorsIni(installation.filePath(QStringLiteral("mirrors.ini")), QList<TestHttpServer*>{&mirror}));
    // The script records the directory it runs in: the updater's working directory.
    const QString marker = installation.filePath(QStringLiteral("client started"));
    const QString script = installation.filePath(QStringLiteral("qv3client_runscript.sh"));
    QVERIFY(writeTestFile(script, "#!/bin/sh\npwd > \"$(dirname \"$0\")/client started\"\n"));
    QVERIFY(QFile::setPermissions(script, QFile::permissions(script) | QFile::ExeOwner));
    QTemporaryDir workingDir;

    QProcess update;
    update.setProcessEnvironment(environment());
    update.setWorkingDirectory(workingDir.path());
    QSignalSpy firstRequest(&mirror, &TestHttpServer::requestReceived);
    QSignalSpy finished(&update, &QProcess::finished);
    QElapsedTimer clock;
    clock.start();
    update.start(executable, {QStringLiteral("--nouser"), QStringLiteral("client_linux_amd64"),
                              QStringLiteral("4711"), QStringLiteral("#"), QStringLiteral("Fresh news")});
    QVERIFY(firstRequest.wait(15000));
    QVERIFY2(clock.elapsed() >= 2000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(finished.wait(60000));
    const QByteArray errors = update.readAllStandardError();
    QCOMPARE(update.exitStatus(), QProcess::NormalExit);
    QVERIFY2(update.exitCode() == 0, errors.constData());
    QCOMPARE(readTestFile(installation.filePath(QStringLiteral("readme.txt"))), readme);
    QTRY_VERIFY2(QFile::exists(marker), errors.constData());
    QTRY_COMPARE(readTestFile(marker).trimmed(), workingDir.path().toUtf8());
}

// Each way an unattended run can end, and the two questions answered without a display: the
// program ends by itself, with the documented code, saying why. No box is auto-closed by the
// test seam here: the real boxes must close themselves (their countdown sped up).
void tst_Startup::endsByItselfWithDocumentedCode_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QStringList>("printed"); // on stdout for the two questions, else on stderr

    const QStringList unattended{QStringLiteral("--nouser"), QStringLiteral("client_linux_amd64"),
                                 QStringLiteral("4711")};
    QTest::newRow("--help without a display")
        << "no display" << QStringList{"--help"} << 0
        << QStringList{"Usage: update [--nouser]", "\nExit codes:\n", "\n  3  a download failed on every mirror",
                       "\n  6  cancelled by the user, SIGINT or SIGTERM\n"};
    QTest::newRow("--version without a display")
        << "no display" << QStringList{"--version"} << 0 << QStringList{"(Quorvel 3 client updater)\n"};
    QTest::newRow("update server down") << "server down" << QStringList{"--nouser"} << 2
                                        << QStringList{"Error: Failed to query latest client version from update server."};
    QTest::newRow("every mirror refuses")
        << "mirrors down" << unattended << 3
        << QStringList{"\nThere are no (more) known working mirrors available\n", "\nUpdate cancelled\n",
                       "\nUpdate: Update cancelled. Push \"Details\" to check reasons.\n"};
    QTest::newRow("signed product description without files")
        << "no files" << unattended << 4 << QStringList{"\nNo files in product ini\n", "\nUpdate cancelled\n"};
    QTest::newRow("SIGINT during the downloads")
        << "SIGINT" << unattended << 6 << QStringList{"\nReceived SIGINT\n", "\nUser aborted update\n"};
    // A negative code: killed by that signal, here while the version query blocks the program.
    QTest::newRow("second SIGINT") << "SIGINT twice" << QStringList{"--nouser"} << -SIGINT << QStringList{};
}

void tst_Startup::endsByItselfWithDocumentedCode()
{
    QFETCH(QString, scenario);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QStringList, printed);
    QTemporaryDir installation;
    QString executable;
    QVERIFY(install(installation, executable));
    // Start-up would delete this leftover beside "update": a question must not.
    QVERIFY(writeTestFile(installation.filePath(QStringLiteral("_old_update")), "leftover"));
    QVERIFY(writeTestFile(installation.filePath(QStringLiteral("readme.txt")), "version 1\n"));

    QProcessEnvironment env = environment();
    env.remove(QStringLiteral("QUORVEL_AUTOCLOSE_DIALOGS"));
    env.insert(QStringLiteral("QUORVEL_TEST_COUNTDOWN_TICK_MS"), QStringLiteral("20"));
    env.insert(QStringLiteral("QUORVEL_TEST_QUERY_TIMEOUT_MS"), QStringLiteral("200"));
    env.insert(QStringLiteral("QUORVEL_TEST_AUTOSTART_MS"), QStringLiteral("0"));
    if (scenario == QLatin1String("no display")) {
        for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"})
            env.remove(QString::fromLatin1(name));
    }

    TestHttpServer mirror;
    QVERIFY(mirror.listen());
    const QString slowFile = QStringLiteral("/4711/bin/readme.txt");
    if (scenario == QLatin1String("mirrors down")) {
        // Ports that were free a moment ago: connections are refused.
        QList<TestMirrorEntry> refusing;
        for (int i = 0; i < 2; ++i) {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            refusing.append({testMirrorName(i), QStringLiteral("http://127.0.0.1:%1").arg(probe.serverPort()), {}});
        }
        QVERIFY(writeMirrorsIni(installation.filePath(QStringLiteral("mirrors.ini")), refusing));
    } else if (scenario == QLatin1String("SIGINT twice")) {
        env.insert(QStringLiteral("QUORVEL_TEST_QUERY_TIMEOUT_MS"), QStringLiteral("20000"));
    } else if (scenario == QLatin1String("SIGINT") || scenario == QLatin1String("no files")) {
        crypt_init();
        const QByteArray readme = QByteArray("version 2\n").repeated(10000);
        const QByteArray ini = scenario == QLatin1String("no files")
            ? QByteArray("[bin]\n")
            : "[bin]\nreadme.txt=" + md5Hex(readme).toLatin1() + "::" + QByteArray::number(readme.size()) + "\n";
        mirror.setFile(QStringLiteral("/4711/client_linux_amd64.ini"), ini);
        mirror.setFile(QStringLiteral("/4711/client_linux_amd64.ini.sig"), signWithTestKey(ini));
        mirror.setFile(slowFile, readme);
        // 2 kB/s: still under way when the signal comes.
        mirror.setBehaviour(slowFile, TestHttpServer::Behaviour::trickle(100, 50));
        QVERIFY(writeMirrorsIni(installation.filePath(QStringLiteral("mirrors.ini")), QList<TestHttpServer*>{&mirror}));
    }
    QStringList before = snapshotContents(installation.path());

    QProcess update;
    update.setProcessEnvironment(env);
    update.start(executable, arguments);
    QVERIFY(update.waitForStarted());
    const auto pid = pid_t(update.processId());
    if (scenario == QLatin1String("SIGINT")) {
        QVERIFY(QTest::qWaitFor([&] { return mirror.requestCount(slowFile) > 0; }, 15000));
        QCOMPARE(::kill(pid, SIGINT), 0);
    } else if (scenario == QLatin1String("SIGINT twice")) {
        // Signals of one kind sent together merge: the second goes once the first was caught.
        QVERIFY(QTest::qWaitFor([&] { return catchesSignal(pid, SIGINT); }, 15000));
        QCOMPARE(::kill(pid, SIGINT), 0);
        QVERIFY(QTest::qWaitFor([&] { return !catchesSignal(pid, SIGINT); }, 15000));
        QCOMPARE(::kill(pid, SIGINT), 0);
    }
    // The mirror lives in this process: its event loop must run while the program works.
    QVERIFY(QTest::qWaitFor([&] { return update.state() == QProcess::NotRunning; }, 20000));
    const QString output = QString::fromUtf8(scenario == QLatin1String("no display") ? update.readAllStandardOutput()
                                                                                      : update.readAllStandardError());
    QCOMPARE(update.exitStatus(), exitCode < 0 ? QProcess::CrashExit : QProcess::NormalExit);
    QVERIFY2(update.exitCode() == qAbs(exitCode), qPrintable(output));
    for (const QString& text : std::as_const(printed))
        QVERIFY2(output.contains(text), qPrintable(text + QStringLiteral("\n--- not in ---\n") + output));

    // Nothing installed changed; only a run that got as far as start-up removed the leftover.
    QStringList after = snapshotContents(installation.path());
    after.removeIf([](const QString& line) { return line.startsWith(QLatin1String("update.ini ")); });
    if (scenario != QLatin1String("no display"))
        before.removeIf([](const QString& line) { return line.startsWith(QLatin1String("_old_update ")); });
    QCOMPARE(after, before);
}

QTEST_GUILESS_MAIN(tst_Startup)
#include "tst_startup.moc"
