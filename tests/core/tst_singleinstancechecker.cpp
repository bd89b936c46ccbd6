#include "core/singleinstancechecker.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {
// Leaves a socket file behind at path, as a killed instance does.
bool createStaleSocket(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    sockaddr_un address;
    std::memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (native.size() >= int(sizeof address.sun_path))
        return false;
    std::memcpy(address.sun_path, native.constData(), native.size());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
        return false;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && ::listen(fd, 1) == 0;
    ::close(fd);
    return bound;
}
}

class tst_SingleInstanceChecker : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();
    void nameDependsOnExecutableAndHome();
    void noInstanceAnswers();
    void deliversActivationMessage();
    void cutsMessageAtZeroByte();
    void takesOverStaleSocket();
    void leavesLiveInstanceAlone();

private:
    QTemporaryDir tmp;
    QByteArray savedTmpDir;
};

void tst_SingleInstanceChecker::initTestCase()
{
    QVERIFY(tmp.isValid());
    savedTmpDir = qgetenv("TMPDIR");
    // Local socket files live in the temporary directory.
    qputenv("TMPDIR", tmp.path().toLocal8Bit());
    QCOMPARE(QDir::tempPath(), QDir::cleanPath(tmp.path()));
}

void tst_SingleInstanceChecker::cleanupTestCase()
{
    if (savedTmpDir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", savedTmpDir);
}

void tst_SingleInstanceChecker::nameDependsOnExecutableAndHome()
{
    QString key = QCoreApplication::applicationFilePath().toLower() + QDir::homePath();
    key.remove(QLatin1Char('/')).remove(QLatin1Char(':'));
    const quint16 crc = qChecksum(QByteArrayView(key.toUtf8()), Qt::ChecksumIso3309);
    QCOMPARE(SingleInstanceChecker::getLocalServerName(), QStringLiteral("QV3ClientUpdate") + QString::number(crc, 16));
    // The X.25 check value of "123456789".
    QCOMPARE(qChecksum(QByteArrayView("123456789"), Qt::ChecksumIso3309), quint16(0x906e));
}

void tst_SingleInstanceChecker::noInstanceAnswers()
{
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QVERIFY(clock.elapsed() < 1500);
}

void tst_SingleInstanceChecker::deliversActivationMessage()
{
    SingleInstanceChecker guard(nullptr);
    QVERIFY(guard.isListening());
    QSignalSpy spy(&guard, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QVERIFY(spy.wait(2000));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("#"));

    // A second activation on a new connection works as well.
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_COMPARE(spy.count(), 2);
}

void tst_SingleInstanceChecker::cutsMessageAtZeroByte()
{
    SingleInstanceChecker guard(nullptr);
    QSignalSpy spy(&guard, &SingleInstanceChecker::otherInstanceActivate);
    QLocalSocket client;
    client.connectToServer(SingleInstanceChecker::getLocalServerName());
    QVERIFY(client.waitForConnected(1000));
    client.write(QByteArray("ab\0cd", 5));
    QVERIFY(client.waitForBytesWritten(1000));
    QVERIFY(spy.wait(2000));
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("ab"));
}

void tst_SingleInstanceChecker::takesOverStaleSocket()
{
    const QString name = SingleInstanceChecker::getLocalServerName();
    const QString path = QDir::tempPath() + QLatin1Char('/') + name;
    QVERIFY(createStaleSocket(path));
    QVERIFY(QFileInfo::exists(path));
    {
        // Without the take-over, nobody could listen on that name again.
        QLocalServer plain;
        QVERIFY(!plain.listen(name));
        QCOMPARE(plain.serverError(), QAbstractSocket::AddressInUseError);
    }
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));

    SingleInstanceChecker guard(nullptr);
    QVERIFY(guard.isListening());
    QSignalSpy spy(&guard, &SingleInstanceChecker::otherInstanceActivate);
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QVERIFY(spy.wait(2000));
    QCOMPARE(spy.at(0).at(0).toString(), QStringLiteral("#"));
}

void tst_SingleInstanceChecker::leavesLiveInstanceAlone()
{
    SingleInstanceChecker first(nullptr);
    QVERIFY(first.isListening());
    QSignalSpy firstSpy(&first, &SingleInstanceChecker::otherInstanceActivate);
    {
        SingleInstanceChecker second(nullptr);
        QVERIFY(!second.isListening());
    }
    QVERIFY(SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QTRY_VERIFY(firstSpy.count() >= 1);
    QCOMPARE(firstSpy.last().at(0).toString(), QStringLiteral("#"));
}

QTEST_GUILESS_MAIN(tst_SingleInstanceChecker)
#include "tst_singleinstancechecker.moc"
