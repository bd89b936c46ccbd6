// Failures a user can act on, met by the real program (update_test) in a temporary
// installation of release 1 updating to release 2: each run stops early, leaves the
// installation as it was, and its log says what went wrong, where and why, line by line,
// and the program ends with the code of its kind of failure.
#include "core/exitcodes.h"
#include "support/mirrorsini.h"
#include "support/testfiles.h"
#include "support/testhttpserver.h"
#include "support/testrelease.h"
#include "support/testsigning.h"
#include "support/treesnapshot.h"
#include "support/updaterenvironment.h"

#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {
const QString ClientType = QStringLiteral("client_test");
const QString Updater = QStringLiteral(QUORVEL_BINARY_DIR "/src/update_test");
constexpr int SmallDisk = 65536;

QStringList installation(const QString& root)
{
    QStringList lines = snapshotContents(root);
    lines.removeIf([](const QString& line) {
        return line.startsWith(QLatin1String("update.ini ")) || line.startsWith(QLatin1String("mirrors.ini "));
    });
    return lines;
}

// The log lines the program wrote to stderr, without their time stamps.
QStringList logLines(const QByteArray& output)
{
    static const QRegularExpression stamp(QStringLiteral("^\\[\\d+\\.\\d+\\] "));
    QStringList lines;
    for (const QByteArray& raw : output.split('\n')) {
        const QString line = QString::fromLocal8Bit(raw);
        if (stamp.match(line).hasMatch())
            lines << line.mid(stamp.match(line).capturedLength());
    }
    return lines;
}
}

class tst_FailureReports : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void failureIsExplained_data();
    void failureIsExplained();

private:
    TestRelease oldRelease{1, ClientType};
    TestRelease newRelease{2, ClientType};
    QTemporaryDir shared;
    QString goodMirror;
    QString strangerMirror;
    QUdpSocket silentServer; // the banner query goes here and gets no answer
};

void tst_FailureReports::initTestCase()
{
    QVERIFY(QFileInfo(Updater).isExecutable());
    QVERIFY(shared.isValid());
    QVERIFY(silentServer.bind(QHostAddress::LocalHost, 0));
    oldRelease.files = {{"bin/tool", randomTestData(40 << 10, 1)}, {"docs/readme.txt", "release 1\n"}};
    newRelease.files = {{"bin/tool", randomTestData(50 << 10, 2)},
                        {"docs/readme.txt", QByteArray("release 2\n").repeated(3000)},
                        {"data/new.bin", randomTestData(30 << 10, 3)}};
    newRelease.gzipped << QStringLiteral("docs/readme.txt");
    goodMirror = shared.filePath(QStringLiteral("good"));
    QVERIFY(newRelease.publish(goodMirror));
    // The same release, its product ini signed by someone else.
    strangerMirror = shared.filePath(QStringLiteral("stranger"));
    QVERIFY(newRelease.publish(strangerMirror));
    const QString ini = QStringLiteral("%1/2/%2.ini").arg(strangerMirror, ClientType);
    QVERIFY(writeTestFile(ini + QStringLiteral(".sig"), signWithNewKey(readTestFile(ini))));
}

void tst_FailureReports::failureIsExplained_data()
{
    QTest::addColumn<QString>("setup");
    QTest::addColumn<int>("mirrors");        // test servers listed in mirrors.ini
    QTest::addColumn<int>("requests");       // received by all of them together, none for a product file
    QTest::addColumn<QStringList>("logged"); // in this order; "*" at the end matches any rest of the line
    QTest::addColumn<QStringList>("absent");
    QTest::addColumn<int>("exitCode");

    // %root: the installation, %work: the update's working directory, %url<n>: mirror n's
    // base address, %needed: what the update asks to be free there.
    const QString ini = QStringLiteral("%work/client_test.ini");
    const QString exhausted = QStringLiteral("There are no (more) known working mirrors available");
    const QString cancelled = QStringLiteral("Update cancelled");
    // Two attempts, each the product ini and its signature; never the thousand the limit allows.
    QTest::newRow("signed with another key, two mirrors")
        << "stranger" << 2 << 4
        << QStringList{QStringLiteral("Signature check failed for ") + ini,
                       QStringLiteral("Could not verify the product ini file. Retrying"),
                       QStringLiteral("Signature check failed for ") + ini,
                       QStringLiteral("The product ini client_test.ini is not signed with the key this updater "
                                      "trusts: every mirror serves the same file and signature, so another try "
                                      "cannot pass"),
                       QStringLiteral("Served by: mirror1 (%url1/2), mirror2 (%url2/2)"), cancelled}
        << QStringList{QStringLiteral("Could not verify the product ini file. Aborting")}
        << int(ExitUntrusted);
    const QString fetching = QStringLiteral("Fetching %url1/2/client_test.ini from mirror mirror1 into %1 failed")
                                 .arg(ini);
    QTest::newRow("mirror refuses connections")
        << "refused" << 0 << 0
        << QStringList{QStringLiteral("Connection refused*"), fetching, QStringLiteral("Connection refused*"), fetching,
                       QStringLiteral("Mirror mirror1 failed too many times, removing"),
                       QStringLiteral("Connection refused*"), fetching, exhausted,
                       QStringLiteral("Mirrors given up: mirror1 (%url1/2): Connection refused*"), cancelled}
        << QStringList{QStringLiteral("No mirror could be loaded*")}
        << int(ExitDownload);
    QTest::newRow("mirrors.ini is no INI file")
        << "malformed" << 0 << 0
        << QStringList{exhausted,
                       QStringLiteral("No mirror could be loaded from %root/mirrors.ini: line 1 is neither a "
                                      "[group] nor a key=value pair"),
                       cancelled}
        << QStringList{QStringLiteral("Mirrors given up*")}
        << int(ExitConfiguration);
    QTest::newRow("disk too small for the update")
        << "small disk" << 1 << 2
        << QStringList{QStringLiteral("Downloading client_test.ini.sig finished"),
                       QStringLiteral("Not enough free space in %root and %work: %needed needed, 64.0 KiB (65536 "
                                      "bytes) available"),
                       cancelled}
        << QStringList{QStringLiteral("Downloading files/*")}
        << int(ExitStorage);
}

void tst_FailureReports::failureIsExplained()
{
    QFETCH(QString, setup);
    QFETCH(int, mirrors);
    QFETCH(int, requests);
    QFETCH(QStringList, logged);
    QFETCH(QStringList, absent);

    QTemporaryDir sandbox;
    QVERIFY(sandbox.isValid());
    const QString root = sandbox.filePath(QStringLiteral("install"));
    const QString tmp = sandbox.filePath(QStringLiteral("tmp"));
    QVERIFY(oldRelease.install(root) && QDir().mkpath(tmp));
    QVERIFY(QFile::copy(Updater, root + QStringLiteral("/update")));

    std::vector<std::unique_ptr<TestHttpServer>> servers;
    QList<TestHttpServer*> list;
    for (int i = 0; i < mirrors; ++i) {
        servers.push_back(std::make_unique<TestHttpServer>());
        QVERIFY(servers.back()->listen());
        servers.back()->setRootDirectory(setup == QLatin1String("stranger") ? strangerMirror : goodMirror);
        list << servers.back().get();
    }
    QStringList urls;
    for (const TestHttpServer* server : std::as_const(list))
        urls << server->baseUrl();
    const QString mirrorsIni = root + QStringLiteral("/mirrors.ini");
    QVERIFY(writeMirrorsIni(mirrorsIni, list));
    if (setup == QLatin1String("refused")) {
        // A port that was free a moment ago: nobody listens there now.
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        urls = QStringList{QStringLiteral("http://127.0.0.1:%1").arg(closed.serverPort())};
        closed.close();
        QVERIFY(writeMirrorsIni(mirrorsIni, QList<TestMirrorEntry>{{testMirrorName(0), urls.first(), "2"}}));
    } else if (setup == QLatin1String("malformed")) {
        QVERIFY(writeTestFile(mirrorsIni, "mirror1 http://127.0.0.1/\nthis is not an INI file\n"));
    }
    const QStringList before = installation(root);

    QProcessEnvironment env = unattendedUpdaterEnvironment(tmp, silentServer.localPort());
    if (setup == QLatin1String("small disk"))
        env.insert(QStringLiteral("QUORVEL_TEST_FREE_BYTES"), QString::number(SmallDisk));

    QProcess updater;
    updater.setProcessEnvironment(env);
    updater.setProcessChannelMode(QProcess::MergedChannels);
    updater.start(root + QStringLiteral("/update"),
                  {QStringLiteral("--nouser"), ClientType, QString::number(newRelease.version)});
    QVERIFY(updater.waitForStarted());
    // Unattended, a failed update ends the program by itself.
    QByteArray output;
    const bool ended = QTest::qWaitFor(
        [&] {
            output += updater.readAll();
            return updater.state() == QProcess::NotRunning;
        },
        30000);
    updater.kill();
    updater.waitForFinished();
    output += updater.readAll();
    const QByteArray tail = output.right(900);
    QVERIFY2(ended, tail.constData());
    QCOMPARE(updater.exitStatus(), QProcess::NormalExit);
    QFETCH(int, exitCode);
    QCOMPARE(updater.exitCode(), exitCode);

    // What the installation needs: the downloads, and the files they become beside the old ones.
    qint64 bytes = 0;
    for (auto it = newRelease.files.cbegin(); it != newRelease.files.cend(); ++it)
        bytes += it.value().size() + (newRelease.gzipped.contains(it.key()) ? gzipData(it.value()).size() : it.value().size());
    const qint64 needed = bytes + bytes / 20 + (1 << 20);
    const QString work = tmp + QStringLiteral("/quorvel_temp_0");
    const QStringList lines = logLines(output);
    qsizetype at = 0;
    for (QString expected : std::as_const(logged)) {
        expected.replace(QStringLiteral("%root"), root).replace(QStringLiteral("%work"), work);
        for (int i = 0; i < urls.size(); ++i)
            expected.replace(QStringLiteral("%url%1").arg(i + 1), urls.at(i));
        expected.replace(QStringLiteral("%needed"), QStringLiteral("%1 (%2 bytes)")
                                                        .arg(QLocale::c().formattedDataSize(needed, 1))
                                                        .arg(needed));
        const bool prefix = expected.endsWith(QLatin1Char('*'));
        expected.chop(prefix ? 1 : 0);
        while (at < lines.size() && !(prefix ? lines.at(at).startsWith(expected) : lines.at(at) == expected))
            ++at;
        QVERIFY2(at < lines.size(), qPrintable(QStringLiteral("not logged in order: ") + expected + '\n' + tail));
        ++at;
    }
    for (QString unwanted : std::as_const(absent)) {
        unwanted.chop(unwanted.endsWith(QLatin1Char('*')) ? 1 : 0);
        for (const QString& line : lines)
            QVERIFY2(!line.startsWith(unwanted), qPrintable(line));
    }

    int received = 0;
    for (const auto& server : servers) {
        QVERIFY2(server->requestLog().filter(QStringLiteral("/files/")).isEmpty(),
                 qPrintable(server->requestLog().join(' ')));
        // Every mirror of the pool had its say before the verdict.
        QVERIFY(server->totalRequests() > 0);
        received += server->totalRequests();
    }
    QCOMPARE(received, requests);
    QCOMPARE(installation(root), before);
}

QTEST_GUILESS_MAIN(tst_FailureReports)
#include "tst_failurereports.moc"
