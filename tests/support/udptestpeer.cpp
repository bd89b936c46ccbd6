#include "support/udptestpeer.h"

#include <QHostAddress>
#include <QMutexLocker>
#include <QNetworkDatagram>
#include <QUdpSocket>

UdpTestPeer::UdpTestPeer(QList<std::optional<QByteArray>> replies)
    : script(std::move(replies))
{
}

UdpTestPeer::~UdpTestPeer()
{
    stopping = true;
    wait();
}

quint16 UdpTestPeer::startAndWaitForPort()
{
    start();
    bound.acquire();
    return port;
}

QList<QByteArray> UdpTestPeer::requests() const
{
    QMutexLocker locker(&mutex);
    return received;
}

void UdpTestPeer::run()
{
    QUdpSocket socket;
    if (socket.bind(QHostAddress(QHostAddress::LocalHost), 0))
        port = socket.localPort();
    bound.release();
    if (port == 0)
        return;
    QUdpSocket forger;
    if (forged && !forger.bind(QHostAddress(QStringLiteral("127.0.0.2")), 0))
        forged.reset();
    int next = 0;
    while (!stopping) {
        if (!socket.waitForReadyRead(20))
            continue;
        while (socket.hasPendingDatagrams()) {
            const QNetworkDatagram datagram = socket.receiveDatagram(65536);
            {
                QMutexLocker locker(&mutex);
                received.append(datagram.data());
            }
            const std::optional<QByteArray> reply = next < script.size() ? script.at(next) : std::nullopt;
            ++next;
            if (reply && forged) {
                forger.writeDatagram(*forged, datagram.senderAddress(), datagram.senderPort());
                forger.waitForBytesWritten(100);
            }
            if (reply)
                socket.writeDatagram(*reply, datagram.senderAddress(), datagram.senderPort());
        }
    }
}
