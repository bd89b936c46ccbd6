#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class ScriptedServer;

// One accepted connection as its script sees it. Every call blocks its own thread only.
class ScriptedConnection
{
public:
    // The next request head up to and including its blank line; empty on end of stream,
    // an endless head or when the server stops.
    QByteArray readRequest();
    // False once the peer is gone or the server stops.
    bool send(const QByteArray& bytes);
    // Sends unit after unit until `limit` bytes went out or a send fails; the bytes sent.
    qint64 sendRepeated(const QByteArray& unit, qint64 limit);
    // Waits, woken early by the server's stop; false then.
    bool pause(int ms);
    // Ends the response stream; what was sent still arrives, then end of stream.
    void close();

private:
    friend class ScriptedServer;
    ScriptedConnection(ScriptedServer& server, int fd)
        : server(server)
        , fd(fd)
    {
    }

    ScriptedServer& server;
    const int fd;
    QByteArray received;
};

// A misbehaving HTTP server for tests, written byte for byte by a script. It listens on
// 127.0.0.1 with a port chosen by the system and runs each connection's script on a thread
// of its own, so that whatever a script does (endless headers, 50 MB of body) never holds
// up the test's event loop:
//
//     ScriptedServer server;
//     QVERIFY(server.listen([](ScriptedConnection& c) {
//         if (!c.readRequest().isEmpty())
//             c.send("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
//     }));
//
// The connection is closed when its script returns. stop(), or destroying the server, ends
// every script at its next call on the connection and waits for all threads.
class ScriptedServer
{
public:
    using Script = std::function<void(ScriptedConnection&)>;

    ScriptedServer();
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    bool listen(Script script);
    quint16 port() const { return boundPort; }
    // "http://127.0.0.1:<port>", no trailing slash.
    QString baseUrl() const;
    // Ends all scripts and closes every connection; the counters are final after it.
    void stop();

    // Readable from any thread while scripts run; a send in progress is counted once it returns.
    int connections() const { return accepted; }
    int requests() const { return requestsRead; }
    qint64 bytesSent() const { return sent; }

private:
    friend class ScriptedConnection;
    struct Session;

    void acceptLoop();
    bool stopping() const { return stopRequested; }

    Script script;
    int listenFd = -1;
    quint16 boundPort = 0;
    std::thread acceptThread;
    std::mutex mutex;  // guards sessions and the stop flag for pause()
    std::condition_variable stopped;
    std::vector<std::unique_ptr<Session>> sessions;
    std::atomic<bool> stopRequested{false};
    std::atomic<int> accepted{0};
    std::atomic<int> requestsRead{0};
    std::atomic<qint64> sent{0};
};
