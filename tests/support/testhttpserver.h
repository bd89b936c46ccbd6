#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>

class QTcpServer;
class QTcpSocket;

// A tiny HTTP/1.1 server for tests, in the test's own thread and event loop. It listens on
// 127.0.0.1 with a port chosen by the system, answers GET requests from a map of paths to
// contents and/or from a directory, and closes the connection after every response
// ("Connection: close"). Several instances stand for several mirrors.
//
// Any path can be told to misbehave, for every request or only for the next few:
//
//     TestHttpServer server;
//     QVERIFY(server.listen());
//     server.setFile("/1234/a.bin", QByteArray(10000, 'x'));
//     server.setBehaviour("/1234/a.bin", TestHttpServer::Behaviour::stallAfter(4096));
//     ... QUrl(server.baseUrl() + "/1234/a.bin") ...
//     QCOMPARE(server.requestCount("/1234/a.bin"), 1);
//
// Paths of the map are compared as they appear in the request line (percent-encoding
// untouched, query included); files below the root directory are found as a real server
// finds them (query dropped, escapes decoded). An unknown path gets a 404. Every received request is recorded, whatever
// the answer, so a test can assert that nothing was fetched at all.
class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    struct Behaviour
    {
        enum Kind {
            Normal,         // 200 with the whole content
            Status,         // the given status code, content as body
            Redirect,       // the given status (default 302) with a Location header
            StallAfter,     // headers and the first `bytes` bytes, then silence; the connection stays open
            CloseAfter,     // headers and the first `bytes` bytes, then the connection is closed
            Trickle,        // `bytes` bytes every `intervalMs` ms until the content is sent
            LengthDelta,    // the content, but Content-Length announces content size + `bytes` (may be negative),
                            // so the body is shorter (bytes > 0) or longer (bytes < 0) than announced
            NoLength,       // 200 with the whole content but no Content-Length: the body ends at the close
            AuthChallenge,  // 401 with "WWW-Authenticate: Basic"
            NoResponse      // reads the request and never answers; the connection stays open
        };
        Kind kind = Normal;
        int status = 200;
        qint64 bytes = 0;
        int intervalMs = 0;
        QByteArray location;
        int times = -1;  // applies to this many requests, then the path behaves normally; -1 = always

        static Behaviour normal() { return {}; }
        static Behaviour statusCode(int code) { return make(Status, code); }
        static Behaviour redirect(const QByteArray& to, int code = 302)
        {
            Behaviour b = make(Redirect, code);
            b.location = to;
            return b;
        }
        static Behaviour stallAfter(qint64 n) { return make(StallAfter, 200, n); }
        static Behaviour closeAfter(qint64 n) { return make(CloseAfter, 200, n); }
        static Behaviour trickle(qint64 n, int everyMs) { return make(Trickle, 200, n, everyMs); }
        static Behaviour shortBody(qint64 missing) { return make(LengthDelta, 200, missing); }
        static Behaviour longBody(qint64 extra) { return make(LengthDelta, 200, -extra); }
        static Behaviour noLength() { return make(NoLength); }
        static Behaviour authChallenge() { return make(AuthChallenge, 401); }
        static Behaviour noResponse() { return make(NoResponse); }
        Behaviour once() const { return limited(1); }
        Behaviour limited(int n) const
        {
            Behaviour b = *this;
            b.times = n;
            return b;
        }

    private:
        static Behaviour make(Kind k, int code = 200, qint64 n = 0, int ms = 0)
        {
            Behaviour b;
            b.kind = k;
            b.status = code;
            b.bytes = n;
            b.intervalMs = ms;
            return b;
        }
    };

    explicit TestHttpServer(QObject* parent = nullptr);
    ~TestHttpServer() override;

    // Binds 127.0.0.1 on a free port.
    bool listen();
    quint16 port() const;
    // "http://127.0.0.1:<port>", no trailing slash.
    QString baseUrl() const;

    // Content for a path such as "/1234/client.ini".
    void setFile(const QString& path, const QByteArray& content);
    void removeFile(const QString& path);
    // Paths not in the map are looked up below this directory ("" = none).
    void setRootDirectory(const QString& dir);
    void setBehaviour(const QString& path, const Behaviour& behaviour);
    void clearBehaviours();

    int requestCount(const QString& path) const;
    int totalRequests() const { return requests.size(); }
    // Every request path in the order received.
    const QStringList& requestLog() const { return requests; }
    void clearRequestLog();
    // Connections currently open (stalled, trickling or not yet answered).
    int openConnections() const { return connections.size(); }
    // Drops every open connection abruptly.
    void abortAll();

Q_SIGNALS:
    void requestReceived(const QString& path);

private:
    struct Connection;

    void onNewConnection();
    void onReadyRead(QTcpSocket* socket);
    void respond(QTcpSocket* socket, Connection& c, const QString& path);
    bool lookup(const QString& path, QByteArray& content) const;
    Behaviour takeBehaviour(const QString& path);
    void trickleNext(QTcpSocket* socket);
    void finishConnection(QTcpSocket* socket);

    QTcpServer* server;
    QHash<QString, QByteArray> files;
    QHash<QString, Behaviour> behaviours;
    QString rootDir;
    QStringList requests;
    QHash<QTcpSocket*, Connection*> connections;
};
