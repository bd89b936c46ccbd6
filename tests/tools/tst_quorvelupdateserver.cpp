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
// from: the client's own address.
QByteArray ask(quint16 port, const QByteArray& request, int timeoutMs = 2000,
               const QHostAddress& server = QHostAddress(QHostAddress::LocalHost), QHostAddress* sender = nullptr,
               const QHostAddress& from = QHostAddress(QHostAddress::LocalHost))
{
    QUdpSocket socket;
    if (!socket.bind(from, 0))
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
    void rollsOutByAddress();
    void logsTheQueriesAskedFor_data();
    void logsTheQueriesAskedFor();
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

    QTRY_COMPARE(server.output().count(QLatin1Char('\n')), 8);
    const QStringList lines = server.output().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(lines.at(1).endsWith(QStringLiteral(" announcing stable 100 to all; beta nothing; alpha 300 to all; "
                                                 "query log: every query")),
             qPrintable(lines.at(1)));
    QVERIFY(lines.at(2).contains(QRegularExpression(QStringLiteral("^\\S+ 127\\.0\\.0\\.1:\\d+ version-list 28 bytes$"))));
    QVERIFY(lines.at(3).contains(QStringLiteral(" news 28 bytes")));
    QVERIFY(lines.at(4).contains(QStringLiteral(" banner 45 bytes")));
    QVERIFY(lines.at(5).contains(QStringLiteral(" unknown(0101) no reply")));
    QVERIFY(lines.at(6).contains(QStringLiteral(" unknown(3300) no reply")));
    QVERIFY2(lines.at(7).endsWith(QStringLiteral(" unknown(") + QString::fromLatin1(QByteArray(16, '\xab').toHex())
                                  + QStringLiteral("... 60000 bytes) no reply")),
             qPrintable(lines.at(7).left(200)));
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
    QTest::newRow("rollout without previous") << QByteArray("[stable]\nversion=2\nrollout=10\n")
                                              << ":3: [stable] rollout needs a previous version";
    QTest::newRow("rollout not a percentage") << QByteArray("[beta]\nversion=2\nprevious=1\nrollout=101\n")
                                              << ":4: [beta] rollout \"101\" is not a percentage from 0 to 100";
    QTest::newRow("previous not a number") << QByteArray("[alpha]\nversion=2\nprevious=1.0\n")
                                           << ":3: [alpha] previous \"1.0\" is not a decimal build number";
    QTest::newRow("previous label alone") << QByteArray("[stable]\nversion=2\nprevious_label=old\n")
                                          << ":3: [stable] has a previous_label but no previous";
    QTest::newRow("previous without version") << QByteArray("[stable]\nprevious=1\n")
                                              << ":2: [stable] has a previous but no version";
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

void tst_QuorvelUpdateServer::rollsOutByAddress()
{
    // 2,000 clients, each from its own loopback address; stable is staged, beta is not.
    QList<QHostAddress> clients;
    for (quint32 i = 0; i < 2000; ++i)
        clients << QHostAddress((127u << 24) | (1u << 16) | ((i / 250) << 8) | (i % 250 + 1));
    QTemporaryDir dir;
    const auto staged = [&](int version, int rollout) {
        return writeConfig(dir, QStringLiteral("[stable]\nversion=%1\nprevious=100\nrollout=%2\n[beta]\nversion=7\n")
                                    .arg(version)
                                    .arg(rollout)
                                    .toLatin1());
    };
    ReferenceServer server;
    QVERIFY(server.start(staged(101, 10)));
    QTRY_VERIFY(server.output().contains(QStringLiteral(" announcing stable 101 to 10% of addresses, 100 to the rest; ")));
    // Which clients get the new version; every answer is one of the two lists.
    const auto newOnes = [&](const QByteArray& newList, const QByteArray& previousList) {
        QList<bool> gotNew;
        for (const QHostAddress& client : clients) {
            const QByteArray reply = ask(server.versionPort(), QByteArray("3\0", 2), 2000,
                                         QHostAddress(QHostAddress::LocalHost), nullptr, client);
            if (reply != newList && reply != previousList)
                return QList<bool>{};
            gotNew << (reply == newList);
        }
        return gotNew;
    };
    const auto share = [&](const QList<bool>& gotNew) { return 100.0 * gotNew.count(true) / clients.size(); };
    int reloads = 0;
    const auto reloadWith = [&](int version, int rollout) {
        staged(version, rollout);
        ::kill(pid_t(server.process().processId()), SIGHUP);
        ++reloads;
        return QTest::qWaitFor([&] { return server.output().count(QStringLiteral(" configuration reloaded ")) == reloads; });
    };

    const QList<bool> tenth = newOnes("101,7,", "100,7,");
    QVERIFY2(qAbs(share(tenth) - 10) <= 3, qPrintable(QString::number(share(tenth))));
    QVERIFY(reloadWith(101, 50));
    const QList<bool> half = newOnes("101,7,", "100,7,");
    QVERIFY2(qAbs(share(half) - 50) <= 3, qPrintable(QString::number(share(half))));
    QCOMPARE(newOnes("101,7,", "100,7,"), half); // the same answer on every query
    for (int i = 0; i < clients.size(); ++i)
        QVERIFY(!tenth.at(i) || half.at(i)); // a larger share takes the new version from nobody
    QVERIFY(reloadWith(101, 90));
    const QList<bool> most = newOnes("101,7,", "100,7,");
    QVERIFY2(qAbs(share(most) - 90) <= 3, qPrintable(QString::number(share(most))));
    QVERIFY(reloadWith(101, 0));
    QCOMPARE(share(newOnes("101,7,", "100,7,")), 0.0);

    // A new release draws new cohorts: about half of the clients change sides.
    QVERIFY(reloadWith(102, 50));
    const QList<bool> next = newOnes("102,7,", "100,7,");
    QVERIFY2(qAbs(share(next) - 50) <= 3, qPrintable(QString::number(share(next))));
    int changed = 0;
    for (int i = 0; i < clients.size(); ++i)
        changed += half.at(i) != next.at(i);
    QVERIFY2(changed > clients.size() / 3 && changed < clients.size() * 2 / 3, qPrintable(QString::number(changed)));
    QVERIFY(reloadWith(102, 100));
    QCOMPARE(share(newOnes("102,7,", "-")), 100.0);
}

void tst_QuorvelUpdateServer::logsTheQueriesAskedFor_data()
{
    QTest::addColumn<QString>("setting");
    QTest::addColumn<int>("rollout");
    QTest::addColumn<QString>("described");
    QTest::addColumn<QStringList>("logged"); // endings of the query lines, in order

    // Every row asks four version lists (from 127.0.0.1 to .4) and sends one junk datagram.
    const QString list = QStringLiteral("version-list 3 bytes");
    QTest::newRow("all") << "all" << 100 << "every query"
                         << QStringList{list, list, list, list, "unknown(6a) no reply"};
    QTest::newRow("errors") << "errors" << 100 << "errors and rollout decisions"
                            << QStringList{"unknown(6a) no reply"};
    QTest::newRow("errors in a rollout")
        << "errors" << 50 << "errors and rollout decisions"
        << QStringList{list + " (stable: previous 1)", list + " (stable: new 2)", list + " (stable: new 2)",
                       list + " (stable: new 2)", "unknown(6a) no reply"};
    QTest::newRow("one in two") << "1/2" << 100 << "one query in 2" << QStringList{list, list};
}

void tst_QuorvelUpdateServer::logsTheQueriesAskedFor()
{
    QFETCH(QString, setting);
    QFETCH(int, rollout);
    QFETCH(QString, described);
    QFETCH(QStringList, logged);
    QTemporaryDir dir;
    ReferenceServer server;
    QVERIFY(server.start(writeConfig(dir, QStringLiteral("[stable]\nversion=2\nprevious=1\nrollout=%1\n").arg(rollout).toLatin1()),
                         QStringLiteral("127.0.0.1"), {QStringLiteral("--query-log"), setting}));
    for (quint32 i = 1; i <= 4; ++i)
        QVERIFY(!ask(server.versionPort(), QByteArray("3\0", 2), 2000, QHostAddress(QHostAddress::LocalHost), nullptr,
                     QHostAddress((127u << 24) | i))
                     .isNull());
    QVERIFY(ask(server.versionPort(), "j", 300).isNull());
    QTRY_COMPARE(server.output().count(QLatin1Char('\n')), 2 + logged.size());
    const QStringList lines = server.output().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QVERIFY2(lines.at(1).endsWith(QStringLiteral("; query log: ") + described), qPrintable(lines.at(1)));
    for (int i = 0; i < logged.size(); ++i)
        QVERIFY2(lines.at(2 + i).endsWith(logged.at(i)), qPrintable(lines.at(2 + i)));
}

QTEST_GUILESS_MAIN(tst_QuorvelUpdateServer)
#include "tst_quorvelupdateserver.moc"
