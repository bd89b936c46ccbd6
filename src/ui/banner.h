#pragma once

#include <QBasicTimer>
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>

class QHostInfo;
class QTimerEvent;
class QUdpSocket;

// Asks the update server over UDP which banner to show: one request, one more after a
// silent interval, then nothing. A two-field reply "imageUrl,clickUrl" gives bannerFound;
// every failure ends the query silently.
class Banner : public QObject
{
    Q_OBJECT

public:
    explicit Banner(QObject* parent);

    void run();
    // A reply "imageUrl,clickUrl" as it arrived: false unless it has exactly the two fields.
    static bool parseReply(const QByteArray& reply, QString& bannerUrl, QString& clickUrl);
    // Test seam: how long to wait for a reply before asking again or giving up.
    void setRetryInterval(int milliseconds) { retryInterval = milliseconds; }

Q_SIGNALS:
    void bannerFound(QString bannerUrl, QString clickUrl);

protected:
    void timerEvent(QTimerEvent* event) override;

private Q_SLOTS:
    void onResolved(const QHostInfo& hostInfo);
    void onReadyRead();
    void onError(QAbstractSocket::SocketError socketError);

private:
    void sendRequest();

    QUdpSocket* socket = nullptr;
    QBasicTimer timer;
    QHostAddress serverAddress;
    int timeoutCount = 0;
    bool done = false; // answered or given up: later datagrams are ignored
    int retryInterval = 5000;
    quint16 port = 0;
};
