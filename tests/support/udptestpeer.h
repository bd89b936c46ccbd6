#pragma once

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QSemaphore>
#include <QThread>
#include <atomic>
#include <optional>

// A UDP peer on 127.0.0.1 with a port chosen by the system, answering from its own thread so
// that blocking clients on the test thread can talk to it. Each received datagram is recorded
// and answered with the next scripted reply; std::nullopt (or an exhausted script) means
// silence.
class UdpTestPeer : public QThread
{
public:
    explicit UdpTestPeer(QList<std::optional<QByteArray>> replies);
    ~UdpTestPeer() override;

    // Starts the thread and returns once the socket is bound; 0 when binding failed.
    quint16 startAndWaitForPort();
    // Before each reply, a forger at another loopback address (127.0.0.2) sends this to the
    // requester first. Call before starting.
    void setForgedReply(const QByteArray& datagram) { forged = datagram; }
    QList<QByteArray> requests() const;

protected:
    void run() override;

private:
    QList<std::optional<QByteArray>> script;
    QList<QByteArray> received;
    std::optional<QByteArray> forged;
    mutable QMutex mutex;
    QSemaphore bound;
    std::atomic<quint16> port{0};
    std::atomic<bool> stopping{false};
};
