#include "updateserver.h"

#include <QDateTime>
#include <QNetworkDatagram>
#include <QTextStream>
#include <QUdpSocket>

UpdateServer::UpdateServer(const ServerConfig& config, QTextStream& log, QObject* parent)
    : QObject(parent)
    , config(config)
    , log(log)
    , versionSocket(new QUdpSocket(this))
    , bannerSocket(new QUdpSocket(this))
{
    connect(versionSocket, &QUdpSocket::readyRead, this, [this] { serve(versionSocket); });
    connect(bannerSocket, &QUdpSocket::readyRead, this, [this] { serve(bannerSocket); });
}

bool UpdateServer::bind(const QHostAddress& address, quint16 versionPort, quint16 bannerPort, QString& errorText)
{
    if (!versionSocket->bind(address, versionPort)) {
        errorText = QStringLiteral("cannot bind the version port %1 on %2: %3")
                        .arg(versionPort)
                        .arg(address.toString(), versionSocket->errorString());
        return false;
    }
    if (!bannerSocket->bind(address, bannerPort)) {
        errorText = QStringLiteral("cannot bind the banner port %1 on %2: %3")
                        .arg(bannerPort)
                        .arg(address.toString(), bannerSocket->errorString());
        return false;
    }
    return true;
}

quint16 UpdateServer::versionPort() const
{
    return versionSocket->localPort();
}

quint16 UpdateServer::bannerPort() const
{
    return bannerSocket->localPort();
}

void UpdateServer::serve(QUdpSocket* socket)
{
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram request = socket->receiveDatagram();
        if (!request.isValid())
            continue;
        QString kind;
        const QByteArray reply = replyFor(socket, request.data(), kind);
        QString outcome = QStringLiteral("no reply");
        if (!reply.isNull()) {
            const qint64 sent = socket->writeDatagram(reply, request.senderAddress(), request.senderPort());
            outcome = sent < 0 ? QStringLiteral("send failed: %1").arg(socket->errorString())
                               : QStringLiteral("%1 bytes").arg(sent);
        }
        log << QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs) << ' '
            << request.senderAddress().toString() << ':' << request.senderPort() << ' ' << kind << ' '
            << outcome << Qt::endl;
    }
}

// A null array means that the request gets no answer.
QByteArray UpdateServer::replyFor(QUdpSocket* socket, const QByteArray& request, QString& kind) const
{
    if (socket == versionSocket) {
        if (request == QByteArray("3\0", 2)) {
            kind = QStringLiteral("version-list");
            return config.versionList.isNull() ? QByteArray("") : config.versionList;
        }
        if (request == QByteArray("*\0", 2)) {
            kind = QStringLiteral("news");
            return config.news.isNull() ? QByteArray("") : config.news;
        }
    } else if (request == QByteArray("\x01\x01", 2)) {
        kind = QStringLiteral("banner");
        return config.banner.isEmpty() ? QByteArray() : config.banner;
    }
    kind = QStringLiteral("unknown(%1)").arg(QString::fromLatin1(request.toHex()));
    return QByteArray();
}
