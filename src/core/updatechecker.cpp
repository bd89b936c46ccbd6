#include "core/updatechecker.h"

#include "core/updateserveraddress.h"

#include <QDeadlineTimer>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
constexpr int versionBufferSize = 512;
constexpr int newsBufferSize = 4096;

int& receiveTimeoutOverride()
{
    static int milliseconds = 0;
    return milliseconds;
}

// Closes the socket on every way out of the exchange.
class SocketGuard
{
public:
    explicit SocketGuard(int fd) : fd(fd) {}
    ~SocketGuard()
    {
        if (fd >= 0)
            ::close(fd);
    }
    SocketGuard(const SocketGuard&) = delete;
    SocketGuard& operator=(const SocketGuard&) = delete;

    const int fd;
};

bool sendRequest(int fd, const sockaddr_in& target, char kind)
{
    const char request[2] = {kind, '\0'};
    const ssize_t sent = ::sendto(fd, request, sizeof request, 0,
                                  reinterpret_cast<const sockaddr*>(&target), sizeof target);
    return sent >= 1;
}

// One datagram from the server as 8-bit text, cut at its first zero byte and at
// bufferSize - 1 bytes. Datagrams from any other address are dropped unread, within the
// same time-out: anyone can send to our port, and a forged reply could offer any version.
// The port is not compared; a sender that can forge the address can forge it too.
bool receiveText(int fd, const sockaddr_in& server, int timeoutMs, char* buffer, int bufferSize, QString& text)
{
    QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        pollfd readable{fd, POLLIN, 0};
        const int ready = ::poll(&readable, 1, int(deadline.remainingTime()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return false;
        sockaddr_in sender;
        socklen_t senderSize = sizeof sender;
        const ssize_t received = ::recvfrom(fd, buffer, bufferSize - 1, MSG_DONTWAIT,
                                            reinterpret_cast<sockaddr*>(&sender), &senderSize);
        if (received < 0) {
            if (errno == EAGAIN || errno == EINTR)
                continue;
            return false;
        }
        if (senderSize < sizeof sender || sender.sin_family != AF_INET
            || sender.sin_addr.s_addr != server.sin_addr.s_addr)
            continue;
        buffer[received] = '\0';
        text = QString::fromLatin1(buffer, static_cast<qsizetype>(std::strlen(buffer)));
        return true;
    }
}
}

UpdateChecker::UpdateChecker()
    : port(0)
    , receiveTimeoutMs(receiveTimeoutOverride() > 0 ? receiveTimeoutOverride() : defaultReceiveTimeoutMs)
{
    const UpdateServerAddress address = UpdateServerAddress::current();
    host = address.host;
    port = address.versionPort;
}

UpdateChecker::UpdateChecker(const QString& host, quint16 port, int receiveTimeoutMs)
    : host(host)
    , port(port)
    , receiveTimeoutMs(receiveTimeoutMs)
{
}

void UpdateChecker::setDefaultReceiveTimeout(int milliseconds)
{
    receiveTimeoutOverride() = milliseconds;
}

bool UpdateChecker::checkUpdate()
{
    return readFromServer();
}

bool UpdateChecker::readFromServer()
{
    const SocketGuard socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (socket.fd < 0)
        return false;

    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_protocol = IPPROTO_UDP;
    addrinfo* resolved = nullptr;
    if (::getaddrinfo(host.toUtf8().constData(), nullptr, &hints, &resolved) != 0 || !resolved)
        return false;
    sockaddr_in target;
    std::memcpy(&target, resolved->ai_addr, sizeof target);
    ::freeaddrinfo(resolved);
    target.sin_family = AF_INET;
    target.sin_port = htons(port);

    if (!sendRequest(socket.fd, target, '3'))
        return false;

    const int timeoutMs = qMax(receiveTimeoutMs, 1);
    char versionBuffer[versionBufferSize];
    QString versionList;
    if (!receiveText(socket.fd, target, timeoutMs, versionBuffer, versionBufferSize, versionList))
        return false;
    appendVersions(versionList);

    if (!sendRequest(socket.fd, target, '*'))
        return false;

    char newsBuffer[newsBufferSize];
    return receiveText(socket.fd, target, timeoutMs, newsBuffer, newsBufferSize, news);
}

void UpdateChecker::appendVersions(const QString& list)
{
    const QStringList entries = list.split(QLatin1Char(','));
    for (const QString& entry : entries) {
        const qsizetype hash = entry.indexOf(QLatin1Char('#'));
        if (hash < 0)
            versions.append(qMakePair(entry, QString()));
        else
            versions.append(qMakePair(entry.left(hash), entry.mid(hash + 1)));
    }
}

QPair<QString, QString> UpdateChecker::getClientVersionByChannel(UpdateChannel channel) const
{
    const int index = static_cast<int>(channel);
    if (index < 0 || index >= versions.size())
        return qMakePair(QString(), QString());
    return versions.at(index);
}
