#pragma once

#include <QHash>
#include <QList>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>

class QTcpSocket;

// A network access manager whose plain HTTP GETs, when no proxy is set and redirects are
// not followed, travel over a small HTTP/1.1 client of its own: persistent connections per
// server, reused from one request to the next, read in blocks on the caller's thread.
// Qt's own client reads each status and header line a byte per system call on a thread of
// its own, which made an update of many small files wait on the network thread. Anything
// else (a proxy, another scheme or operation, followed redirects) goes to Qt's client, and
// callers see the same reply interface either way.
class HttpAccessManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    explicit HttpAccessManager(QObject* parent = nullptr);
    ~HttpAccessManager() override;

    // Whether a request would use our client rather than Qt's.
    bool handlesOwnTransport(Operation op, const QNetworkRequest& request, QIODevice* outgoingData) const;
    // Open connections waiting for the next request to their server.
    int idleConnectionCount() const;

protected:
    QNetworkReply* createRequest(Operation op, const QNetworkRequest& request, QIODevice* outgoingData) override;

private:
    friend class HttpReply;

    // A connected idle socket to the server of `key` ("host:port"), or null. The caller
    // takes ownership.
    QTcpSocket* takeIdleConnection(const QString& key);
    // Takes ownership of a connected socket whose last response was read to its end.
    void keepIdleConnection(const QString& key, QTcpSocket* socket);
    void dropIdleConnection(const QString& key, QTcpSocket* socket);

    QHash<QString, QList<QTcpSocket*>> idleConnections;
};

// One GET on our client. Behaves as Qt's replies do for a caller: metaDataChanged once the
// headers are in (status in HttpStatusCodeAttribute), readyRead and downloadProgress as the
// body arrives, errorOccurred for a transport failure or an HTTP status of 400 and above,
// and finished exactly once. A redirect is reported, never followed.
class HttpReply : public QNetworkReply
{
    Q_OBJECT

public:
    HttpReply(HttpAccessManager* manager, const QNetworkRequest& request);
    ~HttpReply() override;

    void abort() override;
    void close() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    enum Phase { StatusLine, Headers, Body, ChunkSize, ChunkData, ChunkEnd, Trailers, Done };

    void connectToServer();
    void attachSocket(QTcpSocket* socket);
    void sendRequest();
    void processInput();
    bool processLine(const QByteArray& line);
    bool headersComplete();
    bool pullBody();
    void onConnectionLost();
    void complete();
    void fail(NetworkError code, const QString& text);
    void dropSocket();
    qint64 buffered() const { return body.size() - bodyPos; }

    QPointer<HttpAccessManager> manager;
    QString key;
    QTcpSocket* socket = nullptr;
    bool reusedConnection = false;
    bool responseStarted = false;
    bool connectionLost = false;
    bool paused = false;
    Phase phase = StatusLine;
    int statusCode = 0;
    bool keepAlive = true;
    bool chunked = false;
    bool untilClose = false;
    qint64 remaining = 0;  // of the body or of the current chunk
    qint64 received = 0;
    qint64 total = -1;
    QByteArray body;
    qsizetype bodyPos = 0;
};
