#include "core/singleinstancechecker.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>

namespace {
constexpr int connectTimeoutMs = 1000;
constexpr int writeTimeoutMs = 1000;

// True when something accepts connections under the name.
bool someoneListens(const QString& name)
{
    QLocalSocket probe;
    probe.connectToServer(name, QIODevice::WriteOnly);
    return probe.waitForConnected(connectTimeoutMs);
}
}

SingleInstanceChecker::SingleInstanceChecker(QObject* parent)
    : QObject(parent)
    , server(new QLocalServer(this))
{
    connect(server, &QLocalServer::newConnection, this, &SingleInstanceChecker::onNewConnection);
    const QString name = getLocalServerName();
    if (server->listen(name))
        return;
    // A crashed instance leaves its socket file behind, and listening on that name then fails
    // for good. Take the name over unless a live instance still answers on it.
    if (server->serverError() == QAbstractSocket::AddressInUseError && !someoneListens(name)) {
        QLocalServer::removeServer(name);
        server->listen(name);
    }
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

QString SingleInstanceChecker::getLocalServerName()
{
    QString key = QCoreApplication::applicationFilePath().toLower() + QDir::homePath();
    key.remove(QLatin1Char('/'));
    key.remove(QLatin1Char(':'));
    const quint16 checksum = qChecksum(QByteArrayView(key.toUtf8()), Qt::ChecksumIso3309);
    return QStringLiteral("QV3ClientUpdate") + QString::number(checksum, 16);
}

bool SingleInstanceChecker::checkExistingInstance(const QString& message)
{
    QLocalSocket socket;
    socket.connectToServer(getLocalServerName(), QIODevice::ReadWrite);
    if (!socket.waitForConnected(connectTimeoutMs))
        return false;
    if (socket.write(message.toLatin1()) <= 0)
        return false;
    return socket.waitForBytesWritten(writeTimeoutMs);
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
