#include "ui/banner.h"

#include "core/updateserveraddress.h"

#include <QHostInfo>
#include <QNetworkDatagram>
#include <QTimerEvent>
#include <QUdpSocket>

namespace {
constexpr qint64 MaxReplySize = 1024;
}

Banner::Banner(QObject* parent)
    : QObject(parent)
    , socket(new QUdpSocket(this))
{
    socket->bind(QHostAddress(QHostAddress::AnyIPv4), 0);
    connect(socket, &QUdpSocket::readyRead, this, &Banner::onReadyRead);
    connect(socket, &QUdpSocket::errorOccurred, this, &Banner::onError);
}

void Banner::run()
{
    const UpdateServerAddress server = UpdateServerAddress::current();
    port = server.bannerPort;
    // The string form: Qt 6.4's functor form leaks its slot object when the answer never
    // reaches us (the program ends first, or this object is gone).
    QHostInfo::lookupHost(server.host, this, SLOT(onResolved(QHostInfo)));
}

void Banner::onResolved(const QHostInfo& hostInfo)
{
    if (hostInfo.error() != QHostInfo::NoError || hostInfo.addresses().isEmpty())
        return;
    serverAddress.clear();
    const QList<QHostAddress> addresses = hostInfo.addresses();
    for (const QHostAddress& address : addresses) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol) {
            serverAddress = address;
            break;
        }
    }
    if (!serverAddress.isNull())
        sendRequest();
}

void Banner::sendRequest()
{
    static const char request[] = {0x01, 0x01};
    if (socket->writeDatagram(request, sizeof request, serverAddress, port) == -1) {
        timer.stop();
        done = true;
        return;
    }
    timer.start(retryInterval, this);
}

void Banner::timerEvent(QTimerEvent* event)
{
    if (event->timerId() == timer.timerId()) {
        if (timeoutCount++ == 0)
            sendRequest();
        else {
            timer.stop();
            done = true;
        }
    }
    QObject::timerEvent(event);
}

void Banner::onReadyRead()
{
    while (socket->hasPendingDatagrams()) {
        const QNetworkDatagram datagram = socket->receiveDatagram(MaxReplySize);
        if (!datagram.isValid())
            return;
        // Anyone can send us a datagram; only the server we asked may choose the banner.
        // A stray one leaves the wait and its retries as they were.
        if (done || serverAddress.isNull()
            || !datagram.senderAddress().isEqual(serverAddress, QHostAddress::ConvertV4MappedToIPv4))
            continue;
        timer.stop();
        done = true;
        QString bannerUrl;
        QString clickUrl;
        if (parseReply(datagram.data(), bannerUrl, clickUrl))
            Q_EMIT bannerFound(bannerUrl, clickUrl);
        return;
    }
}

bool Banner::parseReply(const QByteArray& reply, QString& bannerUrl, QString& clickUrl)
{
    const QStringList fields = QString::fromLatin1(reply).split(QLatin1Char(','));
    if (fields.size() != 2)
        return false;
    bannerUrl = fields.at(0);
    clickUrl = fields.at(1);
    return true;
}

void Banner::onError(QAbstractSocket::SocketError)
{
    timer.stop();
    done = true;
}
