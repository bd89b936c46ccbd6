// The real program against real servers: releases published with quorvel-publish, mirrors
// served by nginx, the version announced by quorvel-update-server, tinyproxy for the proxy,
// and update_test (the updater built with the tests' key) run unattended in an installation.
#include "support/nginxmirrors.h"
#include "support/referenceserver.h"
#include "support/testfiles.h"
#include "support/tinyproxy.h"
#include "support/treesnapshot.h"

#include <QDir>
#include <QDirIterator>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>

namespace {
const QString ClientType = QStringLiteral("client_linux_amd64");
const QString Updater = QStringLiteral(QUORVEL_BINARY_DIR "/src/update_test");
const QString Publish = QStringLiteral(QUORVEL_BINARY_DIR "/tools/quorvel-publish/quorvel-publish");
const QString BigFile = QStringLiteral("data/big.bin");
// Programs by their mode in the release folder alone: one travels gzipped, one plain.
const QStringList Programs = {QStringLiteral("bin/client"), QStringLiteral("bin/myclient")};
const QFile::Permissions Executable = QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
const QFile::Permissions Mode755 = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther | Executable;

// QUORVEL_E2E_BIG_MIB sets the size of the large file (default 1 MiB); the killed update is
// stopped at 90% of it, whatever its size.
qint64 bigFileSize()
{
    const int mib = qEnvironmentVariableIntValue("QUORVEL_E2E_BIG_MIB");
    return qint64(mib > 0 ? mib : 1) << 20;
}

// Release N: a start script, the updater itself (a special file), text that travels gzipped,
// binary data that does not, names with blanks, and files that come and go between versions.
QMap<QString, QByteArray> releaseFiles(int version)
{
    const QByteArray n = QByteArray::number(version);
    QMap<QString, QByteArray> files = {
        {"qv3client_runscript.sh", "#!/bin/sh\necho v" + n + " >> \"$QUORVEL_E2E_MARKER\"\n"},
        {"update", readTestFile(Updater) + "\nrelease " + n + "\n"},
        {"bin/client", QByteArray("client code, release " + n + "\n").repeated(4000)},
        {"bin/myclient", randomTestData(50000, 10 + quint32(version))},
        {"lib/libdata.so", randomTestData(300000, 1)},
        {BigFile, randomTestData(bigFileSize(), 2)},
        {"docs/read me.txt", "Release " + n + "\n"},
        {QStringLiteral("docs/\u00e9t\u00e9 #1.txt"), "summer " + n + "\n"},
    };
    if (version == 1)
        files.insert("old/obsolete.txt", "only in release 1");
    else
        files.insert("new/added file.txt", QByteArray("added\n").repeated(1000));
    return files;
}

// Files only (directories that held deleted files may stay), without the updater's own records.
QStringList installedFiles(const QString& root)
{
    QStringList lines = snapshotContents(root).filter(QStringLiteral(" file "));
    lines.removeIf([](const QString& line) {
        return line.startsWith(QLatin1String("update.ini ")) || line.startsWith(QLatin1String("mirrors.ini "))
            || line.startsWith(QLatin1String("_old_update "));
    });
    return lines;
}

// The completed downloads in the working folder: the paths whose content is that of the
// published copy on the mirror.
QStringList completedDownloads(const QString& workDir, const QString& versionDir)
{
    QStringList done;
    QDirIterator it(workDir, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = QDir(workDir).relativeFilePath(it.next());
        const QByteArray content = readTestFile(it.filePath());
        for (const char* section : {"files", "gzip"}) {
            if (readTestFile(versionDir + '/' + section + '/' + path) == content)
                done << path;
        }
    }
    return done;
}
}

class tst_EndToEnd : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void update_data();
    void update();

private:
    QString releaseDir(int version) const { return top.filePath(QStringLiteral("release%1").arg(version)); }
    bool publish(int version, const QString& mirrorRoot);

    QTemporaryDir top;
    QString mirrorRoot;
};

bool tst_EndToEnd::publish(int version, const QString& root)
{
    QStringList args{"release", "--key", QUORVEL_TEST_PRIVATE_KEY, "--version", QString::number(version),
                     "--changelog", releaseDir(version) + QStringLiteral("/docs/read me.txt"), "--allow-special"};
    // The previous version's product ini, so earlier deletions carry on to later versions.
    if (version > 1)
        args << "--previous" << QStringLiteral("%1/%2/%3.ini").arg(mirrorRoot).arg(version - 1).arg(ClientType);
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(Publish, args << releaseDir(version) << root);
    const bool ok = tool.waitForFinished(60000) && tool.exitCode() == 0;
    if (!ok)
        qWarning("%s", tool.readAll().constData());
    return ok;
}

void tst_EndToEnd::initTestCase()
{
    if (!NginxMirrors::available())
        QSKIP("nginx is not installed (scripts/setup.sh installs it)");
    QVERIFY(top.isValid());
    mirrorRoot = top.filePath(QStringLiteral("mirror"));
    for (int version = 1; version <= 3; ++version) {
        const QMap<QString, QByteArray> files = releaseFiles(version);
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(writeTestFile(releaseDir(version) + '/' + it.key(), it.value()));
        QVERIFY(QFile::setPermissions(releaseDir(version) + QStringLiteral("/qv3client_runscript.sh"),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        for (const QString& program : Programs)
            QVERIFY(QFile::setPermissions(releaseDir(version) + '/' + program, Mode755));
        QVERIFY(publish(version, mirrorRoot));
    }
    // The alpha channel's own server carries version 3 only.
    QVERIFY(publish(3, mirrorRoot + QStringLiteral("/alpha")));
    QVERIFY(QDir(mirrorRoot).rename(QStringLiteral("3"), QStringLiteral("3-not-on-stable")));
}

void tst_EndToEnd::update_data()
{
    QTest::addColumn<int>("installed"); // 0: only the updater is there
    QTest::addColumn<int>("target");
    QTest::addColumn<QString>("mode");

    QTest::newRow("fresh installation") << 0 << 2 << "";
    QTest::newRow("over release 1: deletions, gzip, the updater replaced") << 1 << 2 << "";
    QTest::newRow("resumed after the updater was killed") << 0 << 2 << "kill";
    QTest::newRow("alpha channel") << 1 << 3 << "alpha";
    QTest::newRow("through tinyproxy") << 1 << 2 << "proxy";
    QTest::newRow("mirror over HTTPS") << 1 << 2 << "https";
}

void tst_EndToEnd::update()
{
    QFETCH(int, installed);
    QFETCH(int, target);
    QFETCH(QString, mode);

    QTemporaryDir run;
    QVERIFY(run.isValid());
    const QString install = run.filePath(QStringLiteral("installation"));
    const QString tmp = run.filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(tmp));
    if (installed > 0) {
        const QMap<QString, QByteArray> files = releaseFiles(installed);
        for (auto it = files.cbegin(); it != files.cend(); ++it)
            QVERIFY(writeTestFile(install + '/' + it.key(), it.value()));
    }
    QVERIFY(writeTestFile(install + QStringLiteral("/update"), readTestFile(Updater)));
    QVERIFY(QFile::setPermissions(install + QStringLiteral("/update"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));

    NginxMirrors nginx;
    NginxMirrors::Options options;
    options.httpPorts = 2;
    options.https = mode == QLatin1String("https");
    if (mode == QLatin1String("kill")) {
        // About four seconds for the large file, so that the kill lands near 90% of it.
        options.slowSuffix = BigFile;
        options.slowKiB = int(qMax<qint64>(256, bigFileSize() / 4096));
    }
    QVERIFY2(nginx.start(mirrorRoot, run.filePath(QStringLiteral("nginx")), options), qPrintable(nginx.errorText()));
    QList<QUrl> mirrors = nginx.urls();
    if (options.https)
        mirrors = {mirrors.last()};
    QByteArray mirrorsIni = "[mirrors]\nsize=" + QByteArray::number(mirrors.size()) + '\n';
    for (int i = 0; i < mirrors.size(); ++i)
        mirrorsIni += QByteArray::number(i + 1) + "\\mirror=m" + QByteArray::number(i + 1) + '\n';
    for (int i = 0; i < mirrors.size(); ++i)
        mirrorsIni += "[m" + QByteArray::number(i + 1) + "]\nurl=" + mirrors.at(i).toEncoded() + '\n';
    QVERIFY(writeTestFile(install + QStringLiteral("/mirrors.ini"), mirrorsIni));

    TinyProxy proxy;
    QByteArray updateIni;
    if (mode == QLatin1String("alpha"))
        updateIni = "[Channel]\nalpha=" + nginx.urls().first().toEncoded() + "alpha\nalphaRevno=0\n";
    if (mode == QLatin1String("proxy")) {
        if (!TinyProxy::available())
            QSKIP("tinyproxy is not installed (scripts/setup.sh installs it)");
        QVERIFY(proxy.start(run.path()));
        updateIni = "[update]\nproxy=http://127.0.0.1:" + QByteArray::number(proxy.port) + '\n';
    }
    QVERIFY(writeTestFile(install + QStringLiteral("/update.ini"), updateIni));

    ReferenceServer server;
    const QByteArray serverConfig = "[stable]\nversion=2\nlabel=2.0\n[alpha]\nversion=3\nlabel=3.0 alpha\n"
                                    "[news]\ntext=End-to-end test\n";
    QVERIFY(writeTestFile(run.filePath(QStringLiteral("server.conf")), serverConfig));
    QVERIFY(server.start(run.filePath(QStringLiteral("server.conf"))));

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"http_proxy", "https_proxy", "HTTP_PROXY", "HTTPS_PROXY", "all_proxy", "ALL_PROXY"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("TMPDIR"), tmp);
    env.insert(QStringLiteral("QUORVEL_UPDATE_SERVER_ADDRESS"), server.address());
    env.insert(QStringLiteral("QUORVEL_AUTOCLOSE_DIALOGS"), QStringLiteral("1"));
    env.insert(QStringLiteral("QUORVEL_PRINT_LOG"), QStringLiteral("1"));
    env.insert(QStringLiteral("QUORVEL_E2E_MARKER"), run.filePath(QStringLiteral("client-started")));
    if (options.https)
        env.insert(QStringLiteral("QUORVEL_TEST_CA_FILE"), nginx.caCertificate());

    QProcess updater;
    updater.setProcessEnvironment(env);
    updater.setWorkingDirectory(run.path());
    updater.setProcessChannelMode(QProcess::MergedChannels);
    const auto stopUpdater = qScopeGuard([&] {
        updater.kill();
        updater.waitForFinished(5000);
    });
    const QString versionDir = (mode == QLatin1String("alpha") ? mirrorRoot + QStringLiteral("/alpha/") : mirrorRoot + '/')
                               + QString::number(target);
    QStringList doneAtKill;
    qint64 bigBytesBefore = 0;
    if (mode == QLatin1String("kill")) {
        // Killed at 90% of the slow large file: what was complete then must not come again,
        // and the large file continues where it stopped.
        updater.start(install + QStringLiteral("/update"), {QStringLiteral("--nouser")});
        QString partial;
        QTRY_VERIFY_WITH_TIMEOUT(!(partial = [&] {
                                      QDirIterator it(tmp, {QStringLiteral("big.bin")}, QDir::Files,
                                                      QDirIterator::Subdirectories);
                                      return it.hasNext() ? it.next() : QString();
                                  }()).isEmpty() && QFileInfo(partial).size() >= bigFileSize() * 9 / 10,
                                 60000);
        ::kill(pid_t(updater.processId()), SIGKILL);
        QVERIFY(updater.waitForFinished(5000));
        QVERIFY(QFileInfo(partial).size() < bigFileSize());
        // nginx logs the broken transfer once it has noticed.
        QTRY_COMPARE(nginx.servedCount('/' + BigFile), 1);
        bigBytesBefore = nginx.bodyBytesSent('/' + BigFile);
        const QString workDir = partial.left(partial.size() - BigFile.size() - 1);
        doneAtKill = completedDownloads(workDir, versionDir);
        QVERIFY(!doneAtKill.contains(BigFile));
        QVERIFY2(!doneAtKill.isEmpty(), "nothing was complete when the updater was killed");
    }
    updater.start(install + QStringLiteral("/update"), {QStringLiteral("--nouser")});
    const bool ended = updater.waitForFinished(90000);
    const QByteArray output = updater.readAll();
    QVERIFY2(ended, output.constData());
    QVERIFY2(updater.exitStatus() == QProcess::NormalExit && updater.exitCode() == 0, output.constData());

    // The client was started, the installation is the release, and nothing is left behind.
    QTRY_COMPARE(readTestFile(run.filePath(QStringLiteral("client-started"))), "v" + QByteArray::number(target) + '\n');
    QCOMPARE(installedFiles(install), installedFiles(releaseDir(target)));
    for (const QString& program : Programs)
        QVERIFY2((QFileInfo(install + '/' + program).permissions() & Executable) == Executable, qPrintable(program));
    for (const QString& data : {QStringLiteral("docs/read me.txt"), BigFile})
        QVERIFY2(!(QFileInfo(install + '/' + data).permissions() & Executable), qPrintable(data));
    // (Qt keeps its runtime folder there too when XDG_RUNTIME_DIR is not set.)
    const QStringList leftovers = QDir(tmp).entryList({QStringLiteral("quorvel_temp_*")}, QDir::AllEntries | QDir::System);
    QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(QLatin1Char(' '))));
    QVERIFY(!readTestFile(install + QStringLiteral("/update.ini")).contains("[current]"));
    // The running updater was replaced; its copy goes at the next start.
    QVERIFY(readTestFile(install + QStringLiteral("/_old_update")) == readTestFile(Updater));
    if (installed == 1 && target == 2)
        QCOMPARE(nginx.servedCount(QStringLiteral("/lib/libdata.so")), 0); // unchanged: not fetched
    // What was complete at the kill is not fetched again; one file whose last bytes had just
    // arrived may still have been under its check and comes once more.
    QStringList fetchedAgain;
    for (const QString& path : std::as_const(doneAtKill)) {
        const int served = nginx.servedCount('/' + path);
        QVERIFY2(served >= 1 && served <= 2, qPrintable(path));
        if (served == 2)
            fetchedAgain << path;
    }
    QVERIFY2(fetchedAgain.size() <= 1, qPrintable(fetchedAgain.join(QLatin1Char(' '))));
    if (mode == QLatin1String("kill")) {
        QTRY_COMPARE(nginx.servedCount('/' + BigFile), 2);
        const qint64 again = nginx.bodyBytesSent('/' + BigFile) - bigBytesBefore;
        qInfo("the second run fetched %lld of %lld bytes of %s", again, bigFileSize(), qPrintable(BigFile));
        QVERIFY2(again <= bigFileSize() * 15 / 100, output.constData());
        QVERIFY2(output.contains("resuming 'files/" + BigFile.toUtf8() + "' at "), output.constData());
    }
    if (mode == QLatin1String("proxy"))
        QCOMPARE(proxy.forwarded(), nginx.servedCount(QString()));
}

QTEST_GUILESS_MAIN(tst_EndToEnd)
#include "tst_endtoend.moc"
