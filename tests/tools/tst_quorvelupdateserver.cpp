#include "core/updatechecker.h"
#include "support/referenceserver.h"

#include <QFile>
#include <QNetworkDatagram>
#include <QTemporaryDir>
#include <QUdpSocket>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

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
// sender: where the reply came from.
QByteArray ask(quint16 port, const QByteArray& request, int timeoutMs = 2000,
               const QHostAddress& server = QHostAddress(QHostAddress::LocalHost), QHostAddress* sender = nullptr)
{
    QUdpSocket socket;
    if (!socket.bind(QHostAddress(QHostAddress::LocalHost), 0))
        return QByteArray();
    socket.writeDatagram(request, server, port);
    if (!socket.waitForReadyRead(timeoutMs))
        return QByteArray();
    const QNetworkDatagram reply = socket.receiveDatagram();
    if (sender)
        *sender = reply.senderAddress();
    return reply.data().isNull() ? QByteArray("") : reply.data();
}

// Reads one line from fd, waiting at most 5 s in all; empty on time-out or end of file.
QByteArray readLine(int fd)
{
    QByteArray line;
    QDeadlineTimer deadline(5000);
    char c = 0;
    while (!deadline.hasExpired()) {
        pollfd ready = {fd, POLLIN, 0};
        if (::poll(&ready, 1, int(deadline.remainingTime())) != 1 || ::read(fd, &c, 1) != 1)
            return QByteArray();
        if (c == '\n')
            return line;
        line += c;
    }
    return QByteArray();
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
    void reloadsOnHangup();
    void answersFromTheAddressAsked();
    void answersWhileTheLogStalls();
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
    // A large junk datagram is logged by a short prefix, not in full.
    QVERIFY(ask(server.versionPort(), QByteArray(60000, '\xab'), 300).isNull());

    QTRY_COMPARE(server.output().count(QLatin1Char('\n')), 7);
    const QStringList lines = server.output().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY(lines.at(1).contains(QRegularExpression(QStringLiteral("^\\S+ 127\\.0\\.0\\.1:\\d+ version-list 28 bytes$"))));
    QVERIFY(lines.at(2).contains(QStringLiteral(" news 28 bytes")));
    QVERIFY(lines.at(3).contains(QStringLiteral(" banner 45 bytes")));
    QVERIFY(lines.at(4).contains(QStringLiteral(" unknown(0101) no reply")));
    QVERIFY(lines.at(5).contains(QStringLiteral(" unknown(3300) no reply")));
    QVERIFY2(lines.at(6).endsWith(QStringLiteral(" unknown(") + QString::fromLatin1(QByteArray(16, '\xab').toHex())
                                  + QStringLiteral("... 60000 bytes) no reply")),
             qPrintable(lines.at(6).left(200)));
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
    // Every reason names the file and the line.
    QTest::newRow("unknown group") << QByteArray("[gamma]\nversion=1\n") << ":1: unknown group [gamma]";
    QTest::newRow("unknown key") << QByteArray("[stable]\nrevision=1\n") << ":2: unknown key \"revision\"";
    QTest::newRow("key outside a group") << QByteArray("version=1\n") << ":1: key outside of a group";
    QTest::newRow("line without =") << QByteArray("[stable]\nversion\n") << ":2: expected [group] or key = value";
    QTest::newRow("version not a number") << QByteArray("# x\n[stable]\nversion=12x\n")
                                          << ":3: [stable] version \"12x\" is not a decimal build number";
    QTest::newRow("label with comma") << QByteArray("[stable]\nversion=1\nlabel=a,b\n") << ":3: [stable] label must not contain a comma";
    QTest::newRow("label without version") << QByteArray("[beta]\n\nlabel=x\n") << ":3: [beta] has a label but no version";
    QTest::newRow("news too long") << (QByteArray("[news]\ntext=") + QByteArray(4096, 'n') + '\n') << ":2: [news] text has 4096 bytes";
    QTest::newRow("version list too long")
        << (QByteArray("[stable]\nversion=1\nlabel=x\n[beta]\nversion=2\nlabel=") + QByteArray(510, 'x') + '\n')
        << ":6: the version list has";
    QTest::newRow("banner half given") << QByteArray("[news]\n[banner]\nimage=http://x/\n") << ":2: [banner] needs both image and click";
    QTest::newRow("banner too long") << (QByteArray("[banner]\nimage=http://x/\nclick=http://") + QByteArray(1020, 'c') + '\n')
                                     << ":3: [banner] reply has";
    QTest::newRow("not latin-1") << QByteArray("[news]\ntext=\xe2\x82\xac\n") << ":2: [news] text contains a character outside Latin-1";
    QTest::newRow("label not latin-1") << QByteArray("[alpha]\nversion=3\nlabel=\xe2\x82\xac\n") << ":3: [alpha] label contains a character outside Latin-1";
    QTest::newRow("invalid UTF-8") << QByteArray("[news]\ntext=caf\xe9\n") << ":2: invalid UTF-8";
    QTest::newRow("repeated group") << QByteArray("[stable]\nversion=1\n[Stable]\n") << ":3: group [stable] repeated (first at line 1)";
    QTest::newRow("repeated key") << QByteArray("[stable]\nversion=1\nVersion=2\n") << ":3: key \"version\" repeated in [stable] (first at line 2)";
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
    QVERIFY2(error.contains(config.isNull() ? reason : QStringLiteral("server.conf") + reason), qPrintable(error));
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

void tst_QuorvelUpdateServer::reloadsOnHangup()
{
    QTemporaryDir dir;
    const QString config = writeConfig(dir, "[stable]\nversion=100\n");
    ReferenceServer server;
    QVERIFY(server.start(config));
    QCOMPARE(ask(server.versionPort(), QByteArray("3\0", 2)), QByteArray("100,,"));

    QCOMPARE(writeConfig(dir, "[stable]\nversion=101\n[news]\ntext=new\n"), config);
    QCOMPARE(::kill(pid_t(server.process().processId()), SIGHUP), 0);
    QTRY_VERIFY(server.output().contains(QStringLiteral(" configuration reloaded from ") + config));
    QCOMPARE(ask(server.versionPort(), QByteArray("3\0", 2)), QByteArray("101,,"));
    QCOMPARE(ask(server.versionPort(), QByteArray("*\0", 2)), QByteArray("new"));

    // A file that does not parse leaves the last good configuration in force.
    QCOMPARE(writeConfig(dir, "[stable]\nversion=102\nversion=103\n"), config);
    QCOMPARE(::kill(pid_t(server.process().processId()), SIGHUP), 0);
    QTRY_VERIFY(server.output().contains(QStringLiteral(" configuration not reloaded, the previous one stays: ")
                                         + config + QStringLiteral(":3: key \"version\" repeated")));
    QCOMPARE(ask(server.versionPort(), QByteArray("3\0", 2)), QByteArray("101,,"));
    QCOMPARE(server.process().state(), QProcess::Running);
}

void tst_QuorvelUpdateServer::answersFromTheAddressAsked()
{
    // Bound to all addresses and asked on 127.0.0.2, the reply must come from 127.0.0.2:
    // updaters drop replies from any other address.
    QTemporaryDir dir;
    ReferenceServer server;
    QVERIFY(server.start(writeConfig(dir, "[stable]\nversion=100\n"), QStringLiteral("0.0.0.0")));
    QHostAddress sender;
    const QHostAddress asked(QStringLiteral("127.0.0.2"));
    QCOMPARE(ask(server.versionPort(), QByteArray("3\0", 2), 2000, asked, &sender), QByteArray("100,,"));
    QCOMPARE(sender, asked);
}

void tst_QuorvelUpdateServer::answersWhileTheLogStalls()
{
    // The log goes into a pipe that nobody reads after the first line: once the pipe is full,
    // a server that writes its log in line would stop answering.
    int fds[2];
    QCOMPARE(::pipe2(fds, O_CLOEXEC), 0);
    QTemporaryDir dir;
    QProcess server;
    server.setChildProcessModifier([fd = fds[1]] { ::dup2(fd, STDOUT_FILENO); });
    server.start(ReferenceServer::executablePath(),
                 {QStringLiteral("--config"), writeConfig(dir, "[stable]\nversion=100\n"),
                  QStringLiteral("--version-port"), QStringLiteral("0"), QStringLiteral("--banner-port"),
                  QStringLiteral("0")});
    ::close(fds[1]);
    const auto cleanup = qScopeGuard([&] {
        server.kill();
        server.waitForFinished(3000);
        ::close(fds[0]);
    });
    const QList<QByteArray> listening = readLine(fds[0]).split(' ');
    QCOMPARE(listening.size(), 6);
    const quint16 port = quint16(listening.at(3).toUInt());

    QUdpSocket junk;
    QVERIFY(junk.bind(QHostAddress(QHostAddress::LocalHost), 0));
    for (int batch = 0; batch < 30; ++batch) {
        // About 6 KB of log per batch, 180 KB in all: well past a pipe's 64 KB.
        for (int i = 0; i < 100; ++i)
            junk.writeDatagram(QByteArray("junk"), QHostAddress(QHostAddress::LocalHost), port);
        QVERIFY2(ask(port, QByteArray("3\0", 2)) == QByteArray("100,,"), qPrintable(QString::number(batch)));
    }
}

QTEST_GUILESS_MAIN(tst_QuorvelUpdateServer)
#include "tst_quorvelupdateserver.moc"
