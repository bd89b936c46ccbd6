#include "core/updatechecker.h"
#include "support/referenceserver.h"

#include <QFile>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

namespace {
QString writeConfig(const QTemporaryDir& dir, const QByteArray& content)
{
    const QString path = dir.filePath(QStringLiteral("server.conf"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return QString();
    file.write(content);
    return path;
}

// Sends one request and returns the reply; a null array when none came within timeoutMs.
QByteArray ask(quint16 port, const QByteArray& request, int timeoutMs = 2000)
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress(QHostAddress::LocalHost), 0))
        return QByteArray();
    socket.writeDatagram(request, QHostAddress(QHostAddress::LocalHost), port);
    if (!socket.waitForReadyRead(timeoutMs))
        return QByteArray();
    const QByteArray data = socket.receiveDatagram().data();
    return data.isNull() ? QByteArray("") : data;
}

const QByteArray fullConfig = "# demo\n"
                              "[stable]\nversion = 100\nlabel = Stable one\n"
                              "; beta is absent\n"
                              "[alpha]\nversion=300\nlabel=Alpha #3\n"
                              "[news]\ntext = Line one, still one\\nLine two\n"
                              "[banner]\nimage = http://127.0.0.1/b.png\nclick = http://127.0.0.1/click\n";
}

class tst_QuorvelUpdateServer : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void answersRequestsFromConfig();
    void checkerReadsServerAnswers();
    void withoutBannerStaysSilent();
    void rejectsBadConfig_data();
    void rejectsBadConfig();
    void failsWhenPortTaken();
    void printsHelp();
};

void tst_QuorvelUpdateServer::answersRequestsFromConfig()
{
    QTemporaryDir dir;
    ReferenceServer server;
    QVERIFY(server.start(writeConfig(dir, fullConfig)));
    QVERIFY(server.versionPort() != 0);
    QVERIFY(server.bannerPort() != 0);

    QCOMPARE(ask(server.versionPort(), QByteArray("3\0", 2)), QByteArray("100#Stable one,,300#Alpha #3"));
    QCOMPARE(ask(server.versionPort(), QByteArray("*\0", 2)), QByteArray("Line one, still one\nLine two"));
    QCOMPARE(ask(server.bannerPort(), QByteArray("\x01\x01", 2)),
             QByteArray("http://127.0.0.1/b.png,http://127.0.0.1/click"));
    // Requests on the wrong port or of unknown kind get no answer.
    QVERIFY(ask(server.versionPort(), QByteArray("\x01\x01", 2), 300).isNull());
    QVERIFY(ask(server.bannerPort(), QByteArray("3\0", 2), 300).isNull());

    QTRY_COMPARE(server.output().count(QLatin1Char('\n')), 6);
    const QStringList lines = server.output().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY(lines.at(1).contains(QRegularExpression(QStringLiteral("^\\S+ 127\\.0\\.0\\.1:\\d+ version-list 28 bytes$"))));
    QVERIFY(lines.at(2).contains(QStringLiteral(" news 28 bytes")));
    QVERIFY(lines.at(3).contains(QStringLiteral(" banner 45 bytes")));
    QVERIFY(lines.at(4).contains(QStringLiteral(" unknown(0101) no reply")));
    QVERIFY(lines.at(5).contains(QStringLiteral(" unknown(3300) no reply")));
}

void tst_QuorvelUpdateServer::checkerReadsServerAnswers()
{
    QTemporaryDir dir;
    ReferenceServer server;
    QVERIFY(server.start(writeConfig(dir, fullConfig)));
    UpdateChecker checker(QStringLiteral("127.0.0.1"), server.versionPort(), 2000);
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.getClientVersionByChannel(Stable), qMakePair(QStringLiteral("100"), QStringLiteral("Stable one")));
    QCOMPARE(checker.getClientVersionByChannel(Beta), qMakePair(QString(), QString()));
    QCOMPARE(checker.getClientVersionByChannel(Alpha), qMakePair(QStringLiteral("300"), QStringLiteral("Alpha #3")));
    QCOMPARE(checker.news, QStringLiteral("Line one, still one\nLine two"));
}

void tst_QuorvelUpdateServer::withoutBannerStaysSilent()
{
    QTemporaryDir dir;
    ReferenceServer server;
    QVERIFY(server.start(writeConfig(dir, "[beta]\nversion=7\n")));
    QCOMPARE(ask(server.versionPort(), QByteArray("3\0", 2)), QByteArray(",7,"));
    QCOMPARE(ask(server.versionPort(), QByteArray("*\0", 2)), QByteArray(""));
    QVERIFY(ask(server.bannerPort(), QByteArray("\x01\x01", 2), 300).isNull());
    QTRY_VERIFY(server.output().contains(QStringLiteral(" banner no reply")));
}

void tst_QuorvelUpdateServer::rejectsBadConfig_data()
{
    QTest::addColumn<QByteArray>("config");
    QTest::addColumn<QString>("reason");
    QTest::newRow("unknown group") << QByteArray("[gamma]\nversion=1\n") << "unknown group [gamma]";
    QTest::newRow("unknown key") << QByteArray("[stable]\nrevision=1\n") << "unknown key \"revision\"";
    QTest::newRow("key outside a group") << QByteArray("version=1\n") << "key outside of a group";
    QTest::newRow("line without =") << QByteArray("[stable]\nversion\n") << "expected [group] or key = value";
    QTest::newRow("version not a number") << QByteArray("[stable]\nversion=12x\n") << "not a decimal build number";
    QTest::newRow("label with comma") << QByteArray("[stable]\nversion=1\nlabel=a,b\n") << "must not contain a comma";
    QTest::newRow("label without version") << QByteArray("[beta]\nlabel=x\n") << "has a label but no version";
    QTest::newRow("news too long") << (QByteArray("[news]\ntext=") + QByteArray(4096, 'n') + '\n') << "4096 bytes";
    QTest::newRow("version list too long")
        << (QByteArray("[stable]\nversion=1\nlabel=") + QByteArray(510, 'x') + '\n') << "the version list has";
    QTest::newRow("banner half given") << QByteArray("[banner]\nimage=http://x/\n") << "needs both image and click";
    QTest::newRow("not latin-1") << QByteArray("[news]\ntext=\xe2\x82\xac\n") << "outside Latin-1";
    QTest::newRow("missing file") << QByteArray() << "cannot read";
}

void tst_QuorvelUpdateServer::rejectsBadConfig()
{
    QFETCH(QByteArray, config);
    QFETCH(QString, reason);
    QTemporaryDir dir;
    const QString path = config.isNull() ? dir.filePath(QStringLiteral("absent.conf")) : writeConfig(dir, config);
    QProcess server;
    server.start(ReferenceServer::executablePath(),
                 {QStringLiteral("--config"), path, QStringLiteral("--version-port"), QStringLiteral("0"),
                  QStringLiteral("--banner-port"), QStringLiteral("0")});
    QVERIFY(server.waitForFinished(5000));
    QVERIFY(server.exitCode() != 0);
    const QString error = QString::fromUtf8(server.readAllStandardError());
    QCOMPARE(error.count(QLatin1Char('\n')), 1);
    QVERIFY2(error.contains(reason), qPrintable(error));
    QVERIFY(server.readAllStandardOutput().isEmpty());
}

void tst_QuorvelUpdateServer::failsWhenPortTaken()
{
    QTemporaryDir dir;
    const QString config = writeConfig(dir, fullConfig);
    ReferenceServer first;
    QVERIFY(first.start(config));
    QProcess second;
    second.start(ReferenceServer::executablePath(),
                 {QStringLiteral("--config"), config, QStringLiteral("--version-port"),
                  QString::number(first.versionPort()), QStringLiteral("--banner-port"), QStringLiteral("0")});
    QVERIFY(second.waitForFinished(5000));
    QVERIFY(second.exitCode() != 0);
    QVERIFY(second.readAllStandardError().contains("cannot bind the version port"));
}

void tst_QuorvelUpdateServer::printsHelp()
{
    QProcess server;
    server.start(ReferenceServer::executablePath(), {QStringLiteral("--help")});
    QVERIFY(server.waitForFinished(5000));
    QCOMPARE(server.exitCode(), 0);
    const QByteArray help = server.readAllStandardOutput();
    for (const char* option : {"--config", "--address", "--version-port", "--banner-port"})
        QVERIFY2(help.contains(option), option);
}

QTEST_GUILESS_MAIN(tst_QuorvelUpdateServer)
#include "tst_quorvelupdateserver.moc"
