#include "core/configuration.h"
#include "core/updatechecker.h"
#include "support/udptestpeer.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

namespace {
using Script = QList<std::optional<QByteArray>>;

bool writeFile(const QString& path, const QByteArray& content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(content) == content.size();
}
}

class tst_Configuration : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();
    void parsesCommandLine_data();
    void parsesCommandLine();
    void retriesQueryUntilAnswered();
    void reportsMissingTypeOrVersion_data();
    void reportsMissingTypeOrVersion();
    void readsProxyAndStreams_data();
    void readsProxyAndStreams();
    void createTempDirSkipsExistingCandidates();
    void createTempDirGivesUpAfterThousandCandidates();
    void initalizeStartReusesPreviousDirectory();

private:
    std::unique_ptr<QTemporaryDir> root;
    QByteArray savedTmpDir;
};

void tst_Configuration::init()
{
    root = std::make_unique<QTemporaryDir>();
    QVERIFY(root->isValid());
    Configuration::setAppRootPath(root->path());
    UpdateChecker::setDefaultReceiveTimeout(300);
    savedTmpDir = qgetenv("TMPDIR");
}

void tst_Configuration::cleanup()
{
    Configuration::setAppRootPath(QString());
    UpdateChecker::setDefaultReceiveTimeout(0);
    qunsetenv("QUORVEL_UPDATE_SERVER_ADDRESS");
    if (savedTmpDir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", savedTmpDir);
    root.reset();
}

void tst_Configuration::parsesCommandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<QByteArray>("versionReply"); // null: the server stays silent
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("clientType");
    QTest::addColumn<int>("clientVersion");
    QTest::addColumn<QString>("versionLabel");
    QTest::addColumn<QString>("newsText");
    QTest::addColumn<int>("unattended");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("fatal");
    QTest::addColumn<bool>("serverAsked");

    const QString def = QStringLiteral("client_linux_amd64");
    const QByteArray list("500#L5,600#L6,700#L7");
    const QByteArray alphaRevno("[Channel]\nalpha=http://alpha.invalid/\nalphaRevno=500\n");
    const QByteArray alphaOnly("[Channel]\nalpha=http://alpha.invalid/\n");
    const QByteArray beta("[Channel]\nbeta=true\n");

    QTest::newRow("no arguments ask the server")
        << QStringList{} << QByteArray() << list << true << def << 500 << "L5" << "NEWS" << 0 << 0 << "" << true;
    QTest::newRow("--nouser with placeholder and news")
        << QStringList{"--nouser", "client_x", "12345", "#", "cmd news"} << QByteArray() << list << true
        << "client_x" << 12345 << "" << "cmd news" << 1 << 0 << "" << false;
    QTest::newRow("--nouser with label")
        << QStringList{"--nouser", "client_x", "12345", "My label"} << QByteArray() << list << true << "client_x"
        << 12345 << "My label" << "" << 1 << 0 << "" << false;
    QTest::newRow("--nouser with type only asks for the default type")
        << QStringList{"--nouser", "client_x"} << QByteArray() << list << true << def << 500 << "L5" << "NEWS" << 1
        << 0 << "" << true;
    QTest::newRow("--nouser alone") << QStringList{"--nouser"} << QByteArray() << list << true << def << 500 << "L5"
                                    << "NEWS" << 1 << 0 << "" << true;
    QTest::newRow("--nouser is case-sensitive")
        << QStringList{"--NOUSER", "client_x", "12345"} << QByteArray() << list << true << def << 500 << "L5"
        << "NEWS" << 0 << 0 << "" << true;
    QTest::newRow("type and version only") << QStringList{"client_x", "12345"} << QByteArray() << list << true
                                           << "client_x" << 12345 << "" << "" << 0 << 0 << "" << false;
    QTest::newRow("three arguments are ignored")
        << QStringList{"a", "b", "c"} << QByteArray() << list << true << def << 500 << "L5" << "NEWS" << 0 << 0 << ""
        << true;
    QTest::newRow("invalid version") << QStringList{"client_x", "12x"} << QByteArray() << list << false << "client_x"
                                     << 0 << "" << "" << 0 << 0 << "Invalid version nr (12x)" << false;
    QTest::newRow("--nouser invalid version")
        << QStringList{"--nouser", "client_x", "12x"} << QByteArray() << list << false << "client_x" << 0 << "" << ""
        << 0 << 0 << "Invalid version nr (12x)" << false;
    QTest::newRow("--nouser version 0 asks the server, server news wins")
        << QStringList{"--nouser", "client_x", "0", "#", "cmd news"} << QByteArray() << list << true << "client_x"
        << 500 << "L5" << "NEWS" << 1 << 0 << "" << true;
    QTest::newRow("version 0 asks the server")
        << QStringList{"client_x", "0"} << QByteArray() << list << true << "client_x" << 500 << "L5" << "NEWS" << 0
        << 0 << "" << true;
    QTest::newRow("alphaRevno overrides the command line")
        << QStringList{"--nouser", "client_x", "777"} << alphaRevno << list << true << "client_x" << 500 << "" << ""
        << 1 << 2 << "" << false;
    QTest::newRow("alphaRevno overrides the two-argument form")
        << QStringList{"client_x", "12x"} << alphaRevno << list << true << "client_x" << 500 << "" << "" << 0 << 2
        << "" << false;
    QTest::newRow("alpha without alphaRevno asks for index 2")
        << QStringList{} << alphaOnly << list << true << def << 700 << "L7" << "NEWS" << 0 << 2 << "" << true;
    QTest::newRow("beta asks for index 1")
        << QStringList{} << beta << list << true << def << 600 << "L6" << "NEWS" << 0 << 1 << "" << true;
    QTest::newRow("beta=false is stable") << QStringList{} << QByteArray("[Channel]\nbeta=false\n") << list << true
                                          << def << 500 << "L5" << "NEWS" << 0 << 0 << "" << true;
    QTest::newRow("no entry for the channel fails silently")
        << QStringList{} << beta << QByteArray("500#L5") << false << def << 0 << "" << "NEWS" << 0 << 1 << "" << true;
    QTest::newRow("server sends an invalid version")
        << QStringList{} << QByteArray() << QByteArray("abc#X") << false << def << 0 << "" << "NEWS" << 0 << 0
        << "Update server returned invalid version nr (abc)" << true;
    QTest::newRow("server sends version 0")
        << QStringList{} << QByteArray() << QByteArray("0#X") << false << def << 0 << "" << "NEWS" << 0 << 0
        << "Update server returned invalid version nr (0)" << true;
    QTest::newRow("silent server, user aborts")
        << QStringList{} << QByteArray() << QByteArray() << false << def << 0 << "" << "" << 0 << 0 << "" << true;
}

void tst_Configuration::parsesCommandLine()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, updateIni);
    QFETCH(QByteArray, versionReply);
    QFETCH(QString, fatal);
    QFETCH(bool, serverAsked);

    if (!updateIni.isNull())
        QVERIFY(writeFile(Configuration::updateIniPath(), updateIni));
    Script script;
    if (!versionReply.isNull())
        script << versionReply << QByteArray("NEWS");
    UdpTestPeer peer(script);
    const quint16 port = peer.startAndWaitForPort();
    QVERIFY(port != 0);
    qputenv("QUORVEL_UPDATE_SERVER_ADDRESS", QByteArray("127.0.0.1:") + QByteArray::number(port));

    Configuration configuration;
    int retryBoxes = 0;
    configuration.retryQuery = [&retryBoxes] {
        ++retryBoxes;
        return false;
    };
    QSignalSpy fatalSpy(&configuration, &Configuration::fatalError);

    const bool result = configuration.parseCommandLineOptions(QStringList{QStringLiteral("update")} + args);
    QTEST(result, "result");
    QTEST(configuration.clientType, "clientType");
    QTEST(int(configuration.clientVersion), "clientVersion");
    QTEST(configuration.versionLabel, "versionLabel");
    QTEST(configuration.newsText, "newsText");
    QTEST(configuration.unattended, "unattended");
    QTEST(int(configuration.channel), "channel");
    if (fatal.isEmpty()) {
        QCOMPARE(fatalSpy.count(), 0);
    } else {
        QCOMPARE(fatalSpy.count(), 1);
        QCOMPARE(fatalSpy.at(0).at(0).toString(), fatal);
    }
    QCOMPARE(!peer.requests().isEmpty(), serverAsked);
    QCOMPARE(retryBoxes, versionReply.isNull() ? 1 : 0);
}

void tst_Configuration::retriesQueryUntilAnswered()
{
    // The first request goes unanswered; the retry gets the list and the news.
    UdpTestPeer peer({std::nullopt, QByteArray("321#R"), QByteArray("retry news")});
    const quint16 port = peer.startAndWaitForPort();
    QVERIFY(port != 0);
    qputenv("QUORVEL_UPDATE_SERVER_ADDRESS", QByteArray("127.0.0.1:") + QByteArray::number(port));

    Configuration configuration;
    int retryBoxes = 0;
    configuration.retryQuery = [&retryBoxes] {
        ++retryBoxes;
        return true;
    };
    QVERIFY(configuration.parseCommandLineOptions({QStringLiteral("update")}));
    QCOMPARE(retryBoxes, 1);
    QCOMPARE(configuration.clientVersion, 321);
    QCOMPARE(configuration.versionLabel, QStringLiteral("R"));
    QCOMPARE(configuration.newsText, QStringLiteral("retry news"));
    QCOMPARE(peer.requests().size(), 3);
}

void tst_Configuration::reportsMissingTypeOrVersion_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("fatal");
    QTest::newRow("no type") << QStringList{"update"} << 1 << "No client type specified";
    QTest::newRow("no version") << QStringList{"update", "client_x"} << 1 << "No client version specified";
}

void tst_Configuration::reportsMissingTypeOrVersion()
{
    QFETCH(QStringList, args);
    QFETCH(int, index);
    Configuration configuration;
    QSignalSpy fatalSpy(&configuration, &Configuration::fatalError);
    QVERIFY(!configuration.getClientTypeVersion(args, index));
    QCOMPARE(fatalSpy.count(), 1);
    QTEST(fatalSpy.at(0).at(0).toString(), "fatal");
}

void tst_Configuration::readsProxyAndStreams_data()
{
    QTest::addColumn<QByteArray>("updateIni");
    QTest::addColumn<QString>("proxy");
    QTest::addColumn<int>("streams");
    QTest::newRow("no file") << QByteArray() << "" << 6;
    QTest::newRow("values") << QByteArray("[update]\nproxy=http://p.invalid:8080\nstreams=3\n")
                            << "http://p.invalid:8080" << 3;
    QTest::newRow("zero streams") << QByteArray("[update]\nstreams=0\n") << "" << 6;
    QTest::newRow("negative streams") << QByteArray("[update]\nstreams=-4\n") << "" << 6;
    QTest::newRow("streams not a number") << QByteArray("[update]\nstreams=many\n") << "" << 6;
    QTest::newRow("one stream") << QByteArray("[update]\nstreams=1\n") << "" << 1;
}

void tst_Configuration::readsProxyAndStreams()
{
    QFETCH(QByteArray, updateIni);
    if (!updateIni.isNull())
        QVERIFY(writeFile(Configuration::updateIniPath(), updateIni));
    Configuration configuration;
    configuration.getProxyAndDownloadConcurrency();
    QTEST(configuration.proxyUrl, "proxy");
    QTEST(configuration.downloadStreams, "streams");
}

void tst_Configuration::createTempDirSkipsExistingCandidates()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    qputenv("TMPDIR", tmp.path().toLocal8Bit());
    QDir dir(tmp.path());
    for (int n = 0; n < 3; ++n)
        QVERIFY(dir.mkdir(QStringLiteral("quorvel_temp_%1").arg(n)));
    QVERIFY(writeFile(dir.filePath(QStringLiteral("quorvel_temp_3")), "a file counts too"));

    Configuration configuration;
    QSignalSpy fatalSpy(&configuration, &Configuration::fatalError);
    QVERIFY(configuration.createTempDir());
    QCOMPARE(configuration.tempDir, dir.filePath(QStringLiteral("quorvel_temp_4")));
    QVERIFY(QFileInfo(configuration.tempDir).isDir());
    QCOMPARE(fatalSpy.count(), 0);
    // Downloads wait there before they are installed: nobody else may read or swap them.
    const QFile::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup | QFileDevice::ExeGroup
                                      | QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther;
    QCOMPARE(QFileInfo(configuration.tempDir).permissions() & others, QFile::Permissions());
}

void tst_Configuration::createTempDirGivesUpAfterThousandCandidates()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    qputenv("TMPDIR", tmp.path().toLocal8Bit());
    QDir dir(tmp.path());
    for (int n = 0; n < 1000; ++n)
        QVERIFY(dir.mkdir(QStringLiteral("quorvel_temp_%1").arg(n)));

    Configuration configuration;
    QSignalSpy fatalSpy(&configuration, &Configuration::fatalError);
    QVERIFY(!configuration.createTempDir());
    QCOMPARE(fatalSpy.count(), 1);
    QCOMPARE(fatalSpy.at(0).at(0).toString(), QStringLiteral("Unable to create temp directory."));
    QVERIFY(!dir.exists(QStringLiteral("quorvel_temp_1000")));
}

void tst_Configuration::initalizeStartReusesPreviousDirectory()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    qputenv("TMPDIR", tmp.path().toLocal8Bit());
    Configuration configuration;
    QVERIFY(configuration.initalizeStart(QStringLiteral("/some/previous/dir")));
    QCOMPARE(configuration.tempDir, QStringLiteral("/some/previous/dir"));
    QVERIFY(configuration.initalizeStart(QString()));
    QCOMPARE(configuration.tempDir, tmp.path() + QStringLiteral("/quorvel_temp_0"));
}

QTEST_GUILESS_MAIN(tst_Configuration)
#include "tst_configuration.moc"
