#include "core/singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>

#include <utility>

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr int connectTimeoutMs = 1000;
constexpr int writeTimeoutMs = 1000;
constexpr int lockTimeoutMs = 5000;

// Started by checkExistingInstance, waiting for the window's checker to take it over.
QLocalServer*& startedServer()
{
    static QLocalServer* server = nullptr;
    return server;
}

// Ours alone: a real directory (not a link), owned by us, closed to everyone else.
bool isPrivateDirectory(const QString& path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && S_ISDIR(info.st_mode)
        && info.st_uid == ::getuid() && (info.st_mode & 077) == 0;
}

QString socketDirectory()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && isPrivateDirectory(runtime))
        return runtime;
    const QString fallback = QDir::tempPath() + QStringLiteral("/quorvel-") + QString::number(::getuid());
    ::mkdir(QFile::encodeName(fallback).constData(), 0700);
    if (isPrivateDirectory(fallback))
        return fallback;
    qWarning("Instance guard: %s belongs to someone else or is open to others; running without the guard",
             qPrintable(fallback));
    return QString();
}

enum class Peer { None, Ours, Foreign };

Peer connectToPeer(QLocalSocket& socket, const QString& path)
{
    socket.connectToServer(path, QIODevice::ReadWrite);
    if (!socket.waitForConnected(connectTimeoutMs))
        return Peer::None;
    ucred credentials;
    socklen_t size = sizeof credentials;
    if (::getsockopt(int(socket.socketDescriptor()), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0
        || credentials.uid != ::getuid())
        return Peer::Foreign;
    return Peer::Ours;
}

// Under the lock: hands the message to a running instance of ours (answered = true) or
// starts listening. Null when the message was delivered or there can be no guard.
QLocalServer* checkAndListen(const QString& message, bool& answered)
{
    answered = false;
    const QString path = SingleInstanceChecker::getLocalServerPath();
    if (path.isEmpty())
        return nullptr;
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.tryLock(lockTimeoutMs))
        qWarning("Instance guard: %s.lock stays locked; checking without it", qPrintable(path));

    QLocalSocket socket;
    switch (connectToPeer(socket, path)) {
    case Peer::Ours:
        if (message.isNull())
            return nullptr;
        answered = socket.write(message.toLatin1()) > 0 && socket.waitForBytesWritten(writeTimeoutMs);
        return nullptr;
    case Peer::Foreign:
        qWarning("Instance guard: %s is held by another user; running without the guard", qPrintable(path));
        return nullptr;
    case Peer::None:
        break;
    }
    // Nobody of ours answers: a socket file still there was left by a crashed instance.
    QLocalServer::removeServer(path);
    auto* server = new QLocalServer;
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(path)) {
        delete server;
        return nullptr;
    }
    return server;
}
}

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
{
    server = std::exchange(startedServer(), nullptr);
    if (!server) {
        bool answered = false;
        server = checkAndListen(QString(), answered);
    }
    if (!server)
        server = new QLocalServer;
    server->setParent(this);
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    if (server->hasPendingConnections())
        onNewConnection();
}

SingleInstanceChecker::~SingleInstanceChecker()
{
    server->close();
    disposeConnection();
}

bool SingleInstanceChecker::isListening() const
{
    return server->isListening();
}

QString SingleInstanceChecker::alreadyRunningText()
{
    return QCoreApplication::translate("QObject", "An update is already running.");
}

QString SingleInstanceChecker::getLocalServerName()
{
    QString key = QCoreApplication::applicationFilePath().toLower() + QDir::homePath();
    key.remove(QLatin1Char('/'));
    key.remove(QLatin1Char(':'));
    const quint16 checksum = qChecksum(QByteArrayView(key.toUtf8()), Qt::ChecksumIso3309);
    return QStringLiteral("QV3ClientUpdate") + QString::number(checksum, 16);
}

QString SingleInstanceChecker::getLocalServerPath()
{
    const QString directory = socketDirectory();
    return directory.isEmpty() ? QString() : directory + QLatin1Char('/') + getLocalServerName();
}

bool SingleInstanceChecker::checkExistingInstance(const QString& message)
{
    if (startedServer())
        return false; // this process is the running instance
    bool answered = false;
    startedServer() = checkAndListen(message, answered);
    return answered;
}

void SingleInstanceChecker::onNewConnection()
{
    disposeConnection();
    connection = server->nextPendingConnection();
    if (connection)
        connect(connection, &QLocalSocket::readyRead, this, &SingleInstanceChecker::onReadyRead);
}

void SingleInstanceChecker::onReadyRead()
{
    if (!connection)
        return;
    QByteArray bytes = connection->readAll();
    const qsizetype zero = bytes.indexOf('\0');
    if (zero >= 0)
        bytes.truncate(zero);
    const QString message = QString::fromLatin1(bytes);
    // The connection is the sender of this signal: delete it later.
    QLocalSocket* finished = connection;
    connection = nullptr;
    Q_EMIT otherInstanceActivate(message);
    finished->close();
    finished->deleteLater();
}

void SingleInstanceChecker::disposeConnection()
{
    if (!connection)
        return;
    connection->disconnect(this);
    connection->close();
    connection->deleteLater();
    connection = nullptr;
}
