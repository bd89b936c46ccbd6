#include "core/singleinstancechecker.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QRegularExpression>
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
    void socketDirectoryIsPrivate_data();
    void socketDirectoryIsPrivate();
    void anotherUsersSocketIsNoInstance();

private:
    QTemporaryDir tmp;
    QByteArray savedTmpDir;
    QByteArray savedRuntimeDir;
};

void tst_SingleInstanceChecker::initTestCase()
{
    QVERIFY(tmp.isValid());
    savedTmpDir = qgetenv("TMPDIR");
    // Local socket files live in the temporary directory.
    qputenv("TMPDIR", tmp.path().toLocal8Bit());
    QCOMPARE(QDir::tempPath(), QDir::cleanPath(tmp.path()));
    // The socket goes into the user's runtime directory; QTemporaryDir makes it private.
    savedRuntimeDir = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", tmp.path().toLocal8Bit());
}

void tst_SingleInstanceChecker::cleanupTestCase()
{
    if (savedTmpDir.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", savedTmpDir);
    if (savedRuntimeDir.isNull())
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", savedRuntimeDir);
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
    const QString path = SingleInstanceChecker::getLocalServerPath();
    QCOMPARE(path, tmp.path() + QLatin1Char('/') + SingleInstanceChecker::getLocalServerName());
    QVERIFY(createStaleSocket(path));
    QVERIFY(QFileInfo::exists(path));
    {
        // Without the take-over, nobody could listen on that name again.
        QLocalServer plain;
        QVERIFY(!plain.listen(path));
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

void tst_SingleInstanceChecker::socketDirectoryIsPrivate_data()
{
    QTest::addColumn<QString>("runtimeDir"); // "private", "open" (0755) or "" (unset)
    QTest::addColumn<QString>("fallback");   // state of the fallback before: "", "foreign", "link"
    QTest::addColumn<QString>("expectedDir"); // "runtime", "fallback" or "" (no guard)

    QTest::newRow("runtime directory") << "private" << "" << "runtime";
    QTest::newRow("no runtime directory") << "" << "" << "fallback";
    QTest::newRow("runtime directory open to others") << "open" << "" << "fallback";
    QTest::newRow("fallback owned by another user") << "" << "foreign" << "";
    QTest::newRow("fallback is a link") << "" << "link" << "";
}

void tst_SingleInstanceChecker::socketDirectoryIsPrivate()
{
    QFETCH(QString, runtimeDir);
    QFETCH(QString, fallback);
    QFETCH(QString, expectedDir);
    if (fallback == "foreign" && ::getuid() != 0)
        QSKIP("giving a directory to another user needs root");

    QTemporaryDir base;
    const QString runtime = base.filePath(QStringLiteral("run"));
    const QString temp = base.filePath(QStringLiteral("tmp"));
    QVERIFY(QDir().mkpath(runtime) && QDir().mkpath(temp));
    QVERIFY(QFile::setPermissions(runtime, runtimeDir == "open" ? QFileDevice::Permissions(0x7755)
                                                                 : QFileDevice::Permissions(0x7700)));
    const QString fallbackPath = temp + QStringLiteral("/quorvel-") + QString::number(::getuid());
    if (fallback == "foreign") {
        QVERIFY(QDir().mkdir(fallbackPath));
        QCOMPARE(::chown(QFile::encodeName(fallbackPath).constData(), 65534, 65534), 0);
    } else if (fallback == "link") {
        QVERIFY(QDir().mkdir(base.filePath(QStringLiteral("planted"))));
        QVERIFY(QFile::setPermissions(base.filePath(QStringLiteral("planted")), QFileDevice::Permissions(0x7700)));
        QVERIFY(QFile::link(base.filePath(QStringLiteral("planted")), fallbackPath));
    }

    qputenv("TMPDIR", temp.toLocal8Bit());
    if (runtimeDir.isEmpty())
        qunsetenv("XDG_RUNTIME_DIR");
    else
        qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    if (expectedDir.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("running without the guard"));
    const QString path = SingleInstanceChecker::getLocalServerPath();
    qputenv("TMPDIR", tmp.path().toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", tmp.path().toLocal8Bit());

    const QString name = QLatin1Char('/') + SingleInstanceChecker::getLocalServerName();
    if (expectedDir == "runtime") {
        QCOMPARE(path, runtime + name);
    } else if (expectedDir == "fallback") {
        QCOMPARE(path, fallbackPath + name);
        QCOMPARE(int(QFileInfo(fallbackPath).permissions()) & 0x0077, 0);
    } else {
        QCOMPARE(path, QString());
    }
}

// Only the same user's updater counts as the running instance: a socket served by another
// user (here one who took it over after binding) is reported and passed by.
void tst_SingleInstanceChecker::anotherUsersSocketIsNoInstance()
{
    if (::getuid() != 0)
        QSKIP("serving a socket as another user needs root");
    const QString path = SingleInstanceChecker::getLocalServerPath();
    QLocalServer::removeServer(path);
    QProcess squatter;
    squatter.start(QStringLiteral("python3"),
                   {QStringLiteral("-c"),
                    QStringLiteral("import os, socket, sys\n"
                                   "s = socket.socket(socket.AF_UNIX)\n"
                                   "s.bind(sys.argv[1])\n"
                                   "os.setuid(65534)\n"
                                   "s.listen(8)\n"
                                   "print('ready', flush=True)\n"
                                   "while True:\n"
                                   "    c, _ = s.accept()\n"
                                   "    c.recv(64)\n"),
                    path});
    QVERIFY(squatter.waitForReadyRead(5000));
    QCOMPARE(squatter.readAllStandardOutput().trimmed(), QByteArray("ready"));

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("held by another user"));
    QVERIFY(!SingleInstanceChecker::checkExistingInstance(QStringLiteral("#")));
    QVERIFY(QFileInfo::exists(path)); // not ours to remove

    squatter.kill();
    QVERIFY(squatter.waitForFinished(5000));
    QLocalServer::removeServer(path);
}

QTEST_GUILESS_MAIN(tst_SingleInstanceChecker)
#include "tst_singleinstancechecker.moc"
