#include "support/scriptedserver.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// A request head longer than this is not a request: the script is told the stream ended.
constexpr qsizetype MaxRequestHead = 64 * 1024;
}

struct ScriptedServer::Session
{
    int fd;
    std::thread thread;
};

QByteArray ScriptedConnection::readRequest()
{
    for (;;) {
        const qsizetype end = received.indexOf("\r\n\r\n");
        if (end >= 0) {
            const QByteArray head = received.left(end + 4);
            received.remove(0, end + 4);
            ++server.requestsRead;
            return head;
        }
        if (received.size() > MaxRequestHead || server.stopping())
            return {};
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return {};
        received.append(buffer, qsizetype(n));
    }
}

bool ScriptedConnection::send(const QByteArray& bytes)
{
    return sendRepeated(bytes, bytes.size()) == bytes.size();
}

qint64 ScriptedConnection::sendRepeated(const QByteArray& unit, qint64 limit)
{
    qint64 total = 0;
    while (total < limit && !unit.isEmpty()) {
        if (server.stopping())
            return total;
        const size_t wanted = size_t(qMin<qint64>(unit.size(), limit - total));
        size_t done = 0;
        while (done < wanted) {
            // MSG_NOSIGNAL: a peer that went away is an answer, not a reason to die.
            const ssize_t n = ::send(fd, unit.constData() + done, wanted - done, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return total + qint64(done);
            done += size_t(n);
            server.sent += n;
        }
        total += qint64(done);
    }
    return total;
}

bool ScriptedConnection::pause(int ms)
{
    std::unique_lock<std::mutex> lock(server.mutex);
    return !server.stopped.wait_for(lock, std::chrono::milliseconds(ms), [this] { return server.stopping(); });
}

void ScriptedConnection::close()
{
    // The descriptor stays open until stop(), so that its number cannot be reused by
    // another socket that stop() would then shut down.
    ::shutdown(fd, SHUT_WR);
}

ScriptedServer::ScriptedServer() = default;

ScriptedServer::~ScriptedServer()
{
    stop();
}

void ScriptedServer::stop()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopRequested = true;
    }
    stopped.notify_all();
    // Wakes the blocked accept() and every blocked recv() or send().
    if (listenFd >= 0)
        ::shutdown(listenFd, SHUT_RDWR);
    if (acceptThread.joinable())
        acceptThread.join();
    for (const auto& session : sessions)
        ::shutdown(session->fd, SHUT_RDWR);
    for (const auto& session : sessions) {
        session->thread.join();
        ::close(session->fd);
    }
    sessions.clear();
    if (listenFd >= 0)
        ::close(listenFd);
    listenFd = -1;
}

bool ScriptedServer::listen(Script connectionScript)
{
    script = std::move(connectionScript);
    listenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd < 0)
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(listenFd, 16) != 0
        || ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return false;
    boundPort = ntohs(address.sin_port);
    acceptThread = std::thread([this] { acceptLoop(); });
    return true;
}

QString ScriptedServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(boundPort);
}

void ScriptedServer::acceptLoop()
{
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 && errno == EINTR)
            continue;
        if (fd < 0)
            return;
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping()) {
            ::close(fd);
            return;
        }
        ++accepted;
        sessions.push_back(std::make_unique<Session>(Session{fd, {}}));
        sessions.back()->thread = std::thread([this, fd] {
            ScriptedConnection connection(*this, fd);
            script(connection);
            connection.close();
        });
    }
}
