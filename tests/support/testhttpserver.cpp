#include "support/testhttpserver.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrl>

struct TestHttpServer::Connection
{
    QByteArray request;  // bytes received until the end of the headers
    bool answered = false;
    QByteArray pending;  // trickled body still to send
    qint64 chunk = 0;
    QTimer* timer = nullptr;
};

namespace {
QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

// A negative length leaves Content-Length out: the body ends when the connection closes.
QByteArray header(int status, qint64 contentLength, const QByteArray& extra = {})
{
    const QByteArray length =
        contentLength < 0 ? QByteArray() : "Content-Length: " + QByteArray::number(contentLength) + "\r\n";
    return "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n"
           + "Content-Type: application/octet-stream\r\n" + length + extra + "Connection: close\r\n\r\n";
}
}

TestHttpServer::TestHttpServer(QObject* parent)
    : QObject(parent)
    , server(new QTcpServer(this))
{
    connect(server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
}

TestHttpServer::~TestHttpServer()
{
    abortAll();
}

bool TestHttpServer::listen()
{
    return server->listen(QHostAddress::LocalHost, 0);
}

quint16 TestHttpServer::port() const
{
    return server->serverPort();
}

QString TestHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

void TestHttpServer::setFile(const QString& path, const QByteArray& content)
{
    files.insert(path, content);
}

void TestHttpServer::removeFile(const QString& path)
{
    files.remove(path);
}

void TestHttpServer::setRootDirectory(const QString& dir)
{
    rootDir = dir;
}

void TestHttpServer::setBehaviour(const QString& path, const Behaviour& behaviour)
{
    behaviours.insert(path, behaviour);
}

void TestHttpServer::clearBehaviours()
{
    behaviours.clear();
}

int TestHttpServer::requestCount(const QString& path) const
{
    return int(requests.count(path));
}

void TestHttpServer::clearRequestLog()
{
    requests.clear();
}

void TestHttpServer::abortAll()
{
    const QList<QTcpSocket*> sockets = connections.keys();
    for (QTcpSocket* socket : sockets) {
        socket->abort();
        finishConnection(socket);
    }
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        connections.insert(socket, new Connection);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] { finishConnection(socket); });
    }
}

void TestHttpServer::onReadyRead(QTcpSocket* socket)
{
    Connection* c = connections.value(socket);
    if (!c)
        return;
    c->request += socket->readAll();
    if (c->answered || !c->request.contains("\r\n\r\n"))
        return;
    c->answered = true;
    // "GET /path HTTP/1.1"
    const QList<QByteArray> requestLine = c->request.left(c->request.indexOf("\r\n")).split(' ');
    const QString path = requestLine.size() >= 2 ? QString::fromLatin1(requestLine.at(1)) : QString();
    requests.append(path);
    Q_EMIT requestReceived(path);
    respond(socket, *c, path);
    // Whatever was answered completely ends the connection once written.
    if (connections.contains(socket) && c->pending.isEmpty() && !c->timer && socket->property("keepOpen").isNull())
        socket->disconnectFromHost();
}

bool TestHttpServer::lookup(const QString& path, QByteArray& content) const
{
    const auto it = files.constFind(path);
    if (it != files.constEnd()) {
        content = it.value();
        return true;
    }
    if (rootDir.isEmpty())
        return false;
    // As a real server does: the query is not part of the file name, escapes are decoded.
    const QString name = QUrl::fromPercentEncoding(path.section(QLatin1Char('?'), 0, 0).toUtf8());
    if (name.split(QLatin1Char('/')).contains(QStringLiteral("..")))
        return false;
    QFile file(QDir(rootDir).filePath(name.mid(1)));
    if (!QFileInfo(file).isFile() || !file.open(QIODevice::ReadOnly))
        return false;
    content = file.readAll();
    return true;
}

TestHttpServer::Behaviour TestHttpServer::takeBehaviour(const QString& path)
{
    auto it = behaviours.find(path);
    if (it == behaviours.end())
        return Behaviour();
    const Behaviour b = it.value();
    if (it->times > 0 && --it->times == 0)
        behaviours.erase(it);
    return b;
}

void TestHttpServer::respond(QTcpSocket* socket, Connection& c, const QString& path)
{
    QByteArray content;
    const bool found = lookup(path, content);
    const Behaviour b = takeBehaviour(path);
    if (!found && b.kind != Behaviour::Status && b.kind != Behaviour::Redirect && b.kind != Behaviour::AuthChallenge
        && b.kind != Behaviour::NoResponse) {
        socket->write(header(404, 9) + "not found");
        return;
    }

    switch (b.kind) {
    case Behaviour::Normal:
        socket->write(header(200, content.size()) + content);
        break;
    case Behaviour::Status:
        socket->write(header(b.status, content.size()) + content);
        break;
    case Behaviour::Redirect:
        socket->write(header(b.status, 0, "Location: " + b.location + "\r\n"));
        break;
    case Behaviour::StallAfter:
        socket->write(header(200, content.size()) + content.left(b.bytes));
        socket->setProperty("keepOpen", true);
        break;
    case Behaviour::CloseAfter:
        socket->write(header(200, content.size()) + content.left(b.bytes));
        break;
    case Behaviour::LengthDelta:
        socket->write(header(200, content.size() + b.bytes) + content);
        break;
    case Behaviour::NoLength:
        socket->write(header(200, -1) + content);
        break;
    case Behaviour::AuthChallenge:
        socket->write(header(401, 0, "WWW-Authenticate: Basic realm=\"test\"\r\n"));
        break;
    case Behaviour::NoResponse:
        socket->setProperty("keepOpen", true);
        break;
    case Behaviour::Trickle:
        socket->write(header(200, content.size()));
        c.pending = content;
        c.chunk = qMax<qint64>(1, b.bytes);
        c.timer = new QTimer(socket);
        c.timer->setInterval(b.intervalMs);
        connect(c.timer, &QTimer::timeout, this, [this, socket] { trickleNext(socket); });
        trickleNext(socket);
        if (connections.contains(socket) && !c.pending.isEmpty())
            c.timer->start();
        break;
    }
}

void TestHttpServer::trickleNext(QTcpSocket* socket)
{
    Connection* c = connections.value(socket);
    if (!c)
        return;
    socket->write(c->pending.left(c->chunk));
    c->pending.remove(0, c->chunk);
    if (c->pending.isEmpty()) {
        c->timer->stop();
        socket->disconnectFromHost();
    }
}

void TestHttpServer::finishConnection(QTcpSocket* socket)
{
    Connection* c = connections.take(socket);
    if (!c)
        return;
    delete c;
    socket->disconnect(this);
    socket->deleteLater();
}
