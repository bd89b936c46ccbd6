#include "core/updatechecker.h"
#include "core/updateserveraddress.h"
#include "support/udptestpeer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QtTest>

namespace {
int openFileDescriptors()
{
    return QDir(QStringLiteral("/proc/self/fd")).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::System).size();
}
}

class tst_UpdateChecker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void parsesReplies_data();
    void parsesReplies();
    void retryAppendsSecondCopy();
    void ignoresRepliesFromOtherAddresses();
    void failsAfterTimeoutAndClosesSocket_data();
    void failsAfterTimeoutAndClosesSocket();
    void defaultConstructorFollowsEnvironment();
    void parsesServerAddress_data();
    void parsesServerAddress();
};

void tst_UpdateChecker::parsesReplies_data()
{
    QTest::addColumn<QByteArray>("versionReply");
    QTest::addColumn<QByteArray>("newsReply");
    QTest::addColumn<int>("channel");
    QTest::addColumn<QString>("version");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("news");

    const QByteArray three("1001#Stable 1,1002#Beta 2,1003#Alpha 3");
    QTest::newRow("three entries, beta") << three << QByteArray("hi") << 1 << "1002" << "Beta 2" << "hi";
    QTest::newRow("three entries, alpha") << three << QByteArray() << 2 << "1003" << "Alpha 3" << "";
    QTest::newRow("number only, stable") << QByteArray("77") << QByteArray() << 0 << "77" << "" << "";
    QTest::newRow("number only, beta is empty") << QByteArray("77") << QByteArray() << 1 << "" << "" << "";
    QTest::newRow("leading comma, stable empty") << QByteArray(",5#B") << QByteArray() << 0 << "" << "" << "";
    QTest::newRow("leading comma, beta") << QByteArray(",5#B") << QByteArray() << 1 << "5" << "B" << "";
    QTest::newRow("label with hash") << QByteArray("9#v 3.1 #2") << QByteArray() << 0 << "9" << "v 3.1 #2" << "";
    QTest::newRow("nothing trimmed") << QByteArray(" 9 # x ") << QByteArray() << 0 << " 9 " << " x " << "";
    QTest::newRow("latin-1") << QByteArray("9#\xe9t\xe9") << QByteArray("caf\xe9") << 0 << "9"
                             << QStringLiteral("\u00e9t\u00e9") << QStringLiteral("caf\u00e9");
    QTest::newRow("version list cut at zero byte")
        << QByteArray("1#A\0,2#B", 8) << QByteArray() << 1 << "" << "" << "";
    QTest::newRow("news cut at zero byte") << QByteArray("1#A") << QByteArray("ab\0cd", 5) << 0 << "1" << "A" << "ab";

    // A datagram longer than the buffer: only its first 511 bytes count.
    const QByteArray longLabel(600, 'x');
    QTest::newRow("version list cut at 511 bytes")
        << (QByteArray("1#") + longLabel + ",2#B") << QByteArray() << 0 << "1" << QString(509, QLatin1Char('x')) << "";
    QTest::newRow("entry beyond 511 bytes lost")
        << (QByteArray("1#") + longLabel + ",2#B") << QByteArray() << 1 << "" << "" << "";
    QTest::newRow("news cut at 4095 bytes") << QByteArray("1") << QByteArray(5000, 'n') << 0 << "1" << ""
                                            << QString(4095, QLatin1Char('n'));
}

void tst_UpdateChecker::parsesReplies()
{
    QFETCH(QByteArray, versionReply);
    QFETCH(QByteArray, newsReply);
    QFETCH(int, channel);

    UdpTestPeer peer({versionReply, newsReply});
    const quint16 port = peer.startAndWaitForPort();
    QVERIFY(port != 0);

    UpdateChecker checker(QStringLiteral("127.0.0.1"), port, 2000);
    QVERIFY(checker.checkUpdate());
    const QPair<QString, QString> entry = checker.getClientVersionByChannel(static_cast<UpdateChannel>(channel));
    QTEST(entry.first, "version");
    QTEST(entry.second, "label");
    QTEST(checker.news, "news");
    QCOMPARE(peer.requests(), (QList<QByteArray>{QByteArray("3\0", 2), QByteArray("*\0", 2)}));
}

void tst_UpdateChecker::retryAppendsSecondCopy()
{
    UdpTestPeer peer({QByteArray("1#A,2#B"), QByteArray("n1"), QByteArray("3#C"), QByteArray("n2")});
    const quint16 port = peer.startAndWaitForPort();
    QVERIFY(port != 0);
    UpdateChecker checker(QStringLiteral("127.0.0.1"), port, 2000);
    QVERIFY(checker.readFromServer());
    QVERIFY(checker.readFromServer());
    QCOMPARE(checker.versions.size(), 3);
    QCOMPARE(checker.getClientVersionByChannel(Beta), qMakePair(QStringLiteral("2"), QStringLiteral("B")));
    QCOMPARE(checker.getClientVersionByChannel(Alpha), qMakePair(QStringLiteral("3"), QStringLiteral("C")));
    QCOMPARE(checker.news, QStringLiteral("n2"));
}

void tst_UpdateChecker::ignoresRepliesFromOtherAddresses()
{
    UdpTestPeer peer({QByteArray("1001#Real"), QByteArray("real news")});
    peer.setForgedReply(QByteArray("666#<b>SPOOFED</b>"));
    const quint16 port = peer.startAndWaitForPort();
    QVERIFY(port != 0);
    UpdateChecker checker(QStringLiteral("127.0.0.1"), port, 2000);
    QVERIFY(checker.checkUpdate());
    QCOMPARE(checker.getClientVersionByChannel(Stable), qMakePair(QStringLiteral("1001"), QStringLiteral("Real")));
    QCOMPARE(checker.versions.size(), 1);
    QCOMPARE(checker.news, QStringLiteral("real news"));
}

void tst_UpdateChecker::failsAfterTimeoutAndClosesSocket_data()
{
    QTest::addColumn<QList<std::optional<QByteArray>>>("script");
    QTest::addColumn<int>("expectedVersions");
    QTest::newRow("no version list") << QList<std::optional<QByteArray>>{} << 0;
    QTest::newRow("no news") << QList<std::optional<QByteArray>>{QByteArray("1#A")} << 1;
}

void tst_UpdateChecker::failsAfterTimeoutAndClosesSocket()
{
    QFETCH(QList<std::optional<QByteArray>>, script);
    UdpTestPeer peer(script);
    const quint16 port = peer.startAndWaitForPort();
    QVERIFY(port != 0);

    const int descriptorsBefore = openFileDescriptors();
    UpdateChecker checker(QStringLiteral("127.0.0.1"), port, 300);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!checker.checkUpdate());
    QVERIFY2(clock.elapsed() >= 250, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(openFileDescriptors(), descriptorsBefore);
    QTEST(int(checker.versions.size()), "expectedVersions");
}

void tst_UpdateChecker::defaultConstructorFollowsEnvironment()
{
    UdpTestPeer peer({QByteArray("42#env"), QByteArray("news")});
    const quint16 port = peer.startAndWaitForPort();
    QVERIFY(port != 0);
    qputenv("QUORVEL_UPDATE_SERVER_ADDRESS", QByteArray("127.0.0.1:") + QByteArray::number(port));
    UpdateChecker checker;
    const bool answered = checker.checkUpdate();
    qunsetenv("QUORVEL_UPDATE_SERVER_ADDRESS");
    QVERIFY(answered);
    QCOMPARE(checker.getClientVersionByChannel(Stable).second, QStringLiteral("env"));
}

void tst_UpdateChecker::parsesServerAddress_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("host");
    QTest::addColumn<int>("versionPort");
    QTest::addColumn<int>("bannerPort");
    QTest::newRow("host and version port") << "127.0.0.1:4000" << true << "127.0.0.1" << 4000 << 2009;
    QTest::newRow("both ports") << "localhost:4000:4001" << true << "localhost" << 4000 << 4001;
    QTest::newRow("no port") << "localhost" << false << "" << 0 << 0;
    QTest::newRow("port zero") << "localhost:0" << false << "" << 0 << 0;
    QTest::newRow("port too large") << "localhost:70000" << false << "" << 0 << 0;
    QTest::newRow("bad banner port") << "localhost:4000:x" << false << "" << 0 << 0;
    QTest::newRow("no host") << ":4000" << false << "" << 0 << 0;
    QTest::newRow("too many parts") << "a:1:2:3" << false << "" << 0 << 0;
}

void tst_UpdateChecker::parsesServerAddress()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    UpdateServerAddress address;
    address.host = QStringLiteral("untouched");
    QCOMPARE(UpdateServerAddress::parse(text, address), valid);
    if (!valid) {
        QCOMPARE(address.host, QStringLiteral("untouched"));
        return;
    }
    QTEST(address.host, "host");
    QTEST(int(address.versionPort), "versionPort");
    QTEST(int(address.bannerPort), "bannerPort");
}

QTEST_GUILESS_MAIN(tst_UpdateChecker)
#include "tst_updatechecker.moc"
