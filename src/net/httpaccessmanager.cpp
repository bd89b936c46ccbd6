#include "net/httpaccessmanager.h"

#include <QNetworkProxy>
#include <QTcpSocket>
#include <QTimer>

namespace {
// A status or header line longer than this is not HTTP we want to read.
constexpr qsizetype MaxLineLength = 64 * 1024;
// The socket reads ahead at most this much while the reply's own buffer is full.
constexpr qint64 SocketReadBuffer = 256 * 1024;
// Idle connections kept per server; more are closed.
constexpr int MaxIdlePerServer = 8;

QString serverKey(const QUrl& url)
{
    return url.host() + QLatin1Char(':') + QString::number(url.port(80));
}

QNetworkReply::NetworkError errorForStatus(int status)
{
    switch (status) {
    case 401: return QNetworkReply::AuthenticationRequiredError;
    case 403: return QNetworkReply::ContentAccessDenied;
    case 404: return QNetworkReply::ContentNotFoundError;
    case 405: return QNetworkReply::ContentOperationNotPermittedError;
    case 407: return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409: return QNetworkReply::ContentConflictError;
    case 410: return QNetworkReply::ContentGoneError;
    case 500: return QNetworkReply::InternalServerError;
    case 501: return QNetworkReply::OperationNotImplementedError;
    case 503: return QNetworkReply::ServiceUnavailableError;
    default: return status >= 500 ? QNetworkReply::UnknownServerError : QNetworkReply::UnknownContentError;
    }
}

QNetworkReply::NetworkError errorForSocket(QAbstractSocket::SocketError error)
{
    switch (error) {
    case QAbstractSocket::ConnectionRefusedError: return QNetworkReply::ConnectionRefusedError;
    case QAbstractSocket::RemoteHostClosedError: return QNetworkReply::RemoteHostClosedError;
    case QAbstractSocket::HostNotFoundError: return QNetworkReply::HostNotFoundError;
    case QAbstractSocket::SocketTimeoutError: return QNetworkReply::TimeoutError;
    default: return QNetworkReply::UnknownNetworkError;
    }
}
}

HttpAccessManager::HttpAccessManager(QObject* parent)
    : QNetworkAccessManager(parent)
{
}

HttpAccessManager::~HttpAccessManager()
{
    for (const QList<QTcpSocket*>& sockets : std::as_const(idleConnections))
        qDeleteAll(sockets);
}

bool HttpAccessManager::handlesOwnTransport(Operation op, const QNetworkRequest& request,
                                            QIODevice* outgoingData) const
{
    const QUrl url = request.url();
    const QVariant policy = request.attribute(QNetworkRequest::RedirectPolicyAttribute);
    const auto redirects = policy.isValid() ? QNetworkRequest::RedirectPolicy(policy.toInt()) : redirectPolicy();
    return op == GetOperation && !outgoingData && url.scheme() == QLatin1String("http") && !url.host().isEmpty()
           && proxy().type() == QNetworkProxy::NoProxy && redirects == QNetworkRequest::ManualRedirectPolicy;
}

int HttpAccessManager::idleConnectionCount() const
{
    int n = 0;
    for (const QList<QTcpSocket*>& sockets : idleConnections)
        n += sockets.size();
    return n;
}

QNetworkReply* HttpAccessManager::createRequest(Operation op, const QNetworkRequest& request,
                                                QIODevice* outgoingData)
{
    if (!handlesOwnTransport(op, request, outgoingData))
        return QNetworkAccessManager::createRequest(op, request, outgoingData);
    return new HttpReply(this, request);
}

QTcpSocket* HttpAccessManager::takeIdleConnection(const QString& key)
{
    auto it = idleConnections.find(key);
    while (it != idleConnections.end() && !it->isEmpty()) {
        QTcpSocket* socket = it->takeLast();
        disconnect(socket, nullptr, this, nullptr);
        if (socket->state() == QAbstractSocket::ConnectedState && socket->bytesAvailable() == 0)
            return socket;
        socket->deleteLater();
    }
    return nullptr;
}

void HttpAccessManager::keepIdleConnection(const QString& key, QTcpSocket* socket)
{
    QList<QTcpSocket*>& sockets = idleConnections[key];
    if (sockets.size() >= MaxIdlePerServer) {
        socket->deleteLater();
        return;
    }
    socket->setParent(this);
    sockets.append(socket);
    // Anything from an idle connection (a close, stray bytes) makes it unfit for reuse.
    const auto drop = [this, key, socket] { dropIdleConnection(key, socket); };
    connect(socket, &QTcpSocket::readyRead, this, drop);
    connect(socket, &QTcpSocket::disconnected, this, drop);
    connect(socket, &QTcpSocket::errorOccurred, this, drop);
}

void HttpAccessManager::dropIdleConnection(const QString& key, QTcpSocket* socket)
{
    if (!idleConnections[key].removeOne(socket))
        return;
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    // Deferred: this runs inside one of the socket's signals.
    socket->deleteLater();
}

HttpReply::HttpReply(HttpAccessManager* manager, const QNetworkRequest& request)
    : QNetworkReply(manager)
    , manager(manager)
    , key(serverKey(request.url()))
{
    setRequest(request);
    setUrl(request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    setFinished(false);
    connectToServer();
}

// A connection in the middle of a response cannot carry another one: it goes with the reply.
HttpReply::~HttpReply()
{
    if (socket) {
        disconnect(socket, nullptr, this, nullptr);
        socket->abort();
    }
}

void HttpReply::connectToServer()
{
    QTcpSocket* idle = manager ? manager->takeIdleConnection(key) : nullptr;
    reusedConnection = idle != nullptr;
    if (idle) {
        attachSocket(idle);
        sendRequest();
        return;
    }
    attachSocket(new QTcpSocket(this));
    connect(socket, &QTcpSocket::connected, this, &HttpReply::sendRequest);
    // Posted: a refused connection on loopback is reported from inside connectToHost, and a
    // caller of get() must see no signal before it has connected to the reply.
    QMetaObject::invokeMethod(
        socket, [s = socket, u = url()] { s->connectToHost(u.host(), quint16(u.port(80))); }, Qt::QueuedConnection);
}

void HttpReply::attachSocket(QTcpSocket* newSocket)
{
    socket = newSocket;
    socket->setParent(this);
    socket->setReadBufferSize(SocketReadBuffer);
    connect(socket, &QTcpSocket::readyRead, this, &HttpReply::processInput);
    connect(socket, &QTcpSocket::disconnected, this, &HttpReply::onConnectionLost);
    connect(socket, &QTcpSocket::errorOccurred, this, &HttpReply::onConnectionLost);
}

void HttpReply::sendRequest()
{
    const QUrl target = url();
    QByteArray path = target.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (path.isEmpty())
        path = "/";
    QByteArray host = target.host(QUrl::FullyEncoded).toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    if (target.port() != -1 && target.port() != 80)
        host += ':' + QByteArray::number(target.port());

    QByteArray head = "GET " + path + " HTTP/1.1\r\nHost: " + host + "\r\n";
    const QNetworkRequest& r = request();
    const QList<QByteArray> names = r.rawHeaderList();
    for (const QByteArray& name : names) {
        if (name.compare("Host", Qt::CaseInsensitive) != 0 && name.compare("Connection", Qt::CaseInsensitive) != 0)
            head += name + ": " + r.rawHeader(name) + "\r\n";
    }
    if (!r.hasRawHeader("User-Agent"))
        head += "User-Agent: Mozilla/5.0\r\n";
    // The body is stored as it comes: an encoding applied on the way would change its MD5.
    if (!r.hasRawHeader("Accept-Encoding"))
        head += "Accept-Encoding: identity\r\n";
    head += "Connection: keep-alive\r\n\r\n";
    socket->write(head);
}

void HttpReply::processInput()
{
    const QPointer<HttpReply> self(this);
    bool newData = false;
    if (socket && socket->bytesAvailable() > 0)
        responseStarted = true;
    while (socket && phase != Done) {
        if (phase == Body || phase == ChunkData) {
            if (paused || socket->bytesAvailable() == 0)
                break;
            if (!pullBody())
                return;
            newData = true;
            continue;
        }
        if (!socket->canReadLine()) {
            if (socket->bytesAvailable() > MaxLineLength)
                fail(ProtocolFailure, QStringLiteral("HTTP header line too long"));
            break;
        }
        QByteArray line = socket->readLine(MaxLineLength);
        while (line.endsWith('\n') || line.endsWith('\r'))
            line.chop(1);
        if (!processLine(line) || !self)
            return;
    }
    if (newData) {
        Q_EMIT downloadProgress(received, total);
        if (!self)
            return;
        Q_EMIT readyRead();
        if (!self)
            return;
    }
    if (phase == Done && !isFinished()) {
        complete();
        return;
    }
    // A lost connection is judged once what it delivered has been taken in.
    if (connectionLost && !paused && socket && socket->bytesAvailable() == 0 && !isFinished())
        onConnectionLost();
}

// False when the reply has failed or was cut off by the caller.
bool HttpReply::processLine(const QByteArray& line)
{
    switch (phase) {
    case StatusLine: {
        const QList<QByteArray> parts = line.split(' ');
        bool ok = false;
        const int code = parts.size() >= 2 ? parts.at(1).toInt(&ok) : 0;
        if (!line.startsWith("HTTP/1.") || !ok || code < 100 || code > 999) {
            fail(ProtocolFailure, QStringLiteral("Invalid HTTP status line"));
            return false;
        }
        statusCode = code;
        keepAlive = line.startsWith("HTTP/1.1");
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, code);
        setAttribute(QNetworkRequest::HttpReasonPhraseAttribute,
                     QString::fromLatin1(line.mid(parts.at(0).size() + parts.at(1).size() + 2)));
        phase = Headers;
        return true;
    }
    case Headers:
        if (line.isEmpty())
            return headersComplete();
        {
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0) {
                fail(ProtocolFailure, QStringLiteral("Invalid HTTP header"));
                return false;
            }
            const QByteArray name = line.left(colon).trimmed();
            const QByteArray value = line.mid(colon + 1).trimmed();
            setRawHeader(name, hasRawHeader(name) ? rawHeader(name) + ", " + value : value);
        }
        return true;
    case ChunkSize: {
        bool ok = false;
        const qsizetype extension = line.indexOf(';');
        const qint64 size = (extension < 0 ? line : line.left(extension)).trimmed().toLongLong(&ok, 16);
        if (!ok || size < 0) {
            fail(ProtocolFailure, QStringLiteral("Invalid chunk size in HTTP response"));
            return false;
        }
        remaining = size;
        phase = size == 0 ? Trailers : ChunkData;
        return true;
    }
    case ChunkEnd:
        if (!line.isEmpty()) {
            fail(ProtocolFailure, QStringLiteral("Invalid chunk end in HTTP response"));
            return false;
        }
        phase = ChunkSize;
        return true;
    case Trailers:
        if (line.isEmpty())
            phase = Done;
        return true;
    default:
        Q_ASSERT(false);
        return false;
    }
}

bool HttpReply::headersComplete()
{
    // An interim answer (100 Continue) is followed by the real one.
    if (statusCode < 200) {
        phase = StatusLine;
        return true;
    }
    const QByteArray connection = rawHeader("Connection").toLower();
    if (connection.contains("close"))
        keepAlive = false;
    else if (connection.contains("keep-alive"))
        keepAlive = true;
    if (hasRawHeader("Location"))
        setAttribute(QNetworkRequest::RedirectionTargetAttribute, QUrl::fromEncoded(rawHeader("Location")));

    if (statusCode == 204 || statusCode == 304) {
        phase = Done;
    } else if (rawHeader("Transfer-Encoding").toLower().contains("chunked")) {
        chunked = true;
        phase = ChunkSize;
    } else if (hasRawHeader("Content-Length")) {
        bool ok = false;
        total = rawHeader("Content-Length").toLongLong(&ok);
        if (!ok || total < 0) {
            fail(ProtocolFailure, QStringLiteral("Invalid Content-Length in HTTP response"));
            return false;
        }
        remaining = total;
        phase = total == 0 ? Done : Body;
    } else {
        untilClose = true;
        keepAlive = false;
        phase = Body;
    }
    const QPointer<HttpReply> self(this);
    Q_EMIT metaDataChanged();
    return self && socket;
}

// Moves what the socket holds of the body into the reply's buffer, up to its size limit.
bool HttpReply::pullBody()
{
    qint64 n = socket->bytesAvailable();
    if (!untilClose)
        n = qMin(n, remaining);
    const qint64 limit = readBufferSize();
    if (limit > 0)
        n = qMin(n, qMax<qint64>(0, limit - buffered()));
    if (n == 0) {
        paused = true;
        return true;
    }
    if (bodyPos > 0 && bodyPos == body.size()) {
        body.clear();
        bodyPos = 0;
    }
    const qsizetype old = body.size();
    body.resize(old + n);
    const qint64 got = socket->read(body.data() + old, n);
    if (got < 0) {
        fail(UnknownNetworkError, socket->errorString());
        return false;
    }
    body.resize(old + got);
    received += got;
    if (!untilClose) {
        remaining -= got;
        if (remaining == 0)
            phase = chunked ? ChunkEnd : Done;
    }
    return true;
}

void HttpReply::onConnectionLost()
{
    if (!socket || isFinished())
        return;
    connectionLost = true;
    if (socket->bytesAvailable() > 0) {
        processInput();
        return;
    }
    if (phase == Body && untilClose) {
        phase = Done;
        complete();
        return;
    }
    // A kept connection that the server closed before this request reached it: once more on
    // a new connection. Nothing was sent to the caller yet.
    if (reusedConnection && !responseStarted) {
        dropSocket();
        connectionLost = false;
        connectToServer();
        return;
    }
    // A close shows as no error at all when it came with the last bytes read.
    const QAbstractSocket::SocketError error = socket->error();
    const NetworkError code = error == QAbstractSocket::UnknownSocketError ? RemoteHostClosedError : errorForSocket(error);
    // The text Qt's client gives a lost connection, so the log reads the same with either.
    fail(code, code == RemoteHostClosedError ? QStringLiteral("Connection closed") : socket->errorString());
}

void HttpReply::complete()
{
    Q_ASSERT(phase == Done);
    if (socket) {
        disconnect(socket, nullptr, this, nullptr);
        if (keepAlive && !connectionLost && manager && socket->state() == QAbstractSocket::ConnectedState
            && socket->bytesAvailable() == 0) {
            manager->keepIdleConnection(key, socket);
            socket = nullptr;
        } else {
            dropSocket();
        }
    }
    setFinished(true);
    const QPointer<HttpReply> self(this);
    if (statusCode >= 400) {
        setError(errorForStatus(statusCode),
                 QStringLiteral("Error transferring %1 - server replied: %2")
                     .arg(url().toString(), attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString()));
        Q_EMIT errorOccurred(error());
        if (!self)
            return;
    }
    Q_EMIT readChannelFinished();
    if (self)
        Q_EMIT finished();
}

void HttpReply::fail(NetworkError code, const QString& text)
{
    if (isFinished())
        return;
    dropSocket();
    phase = Done;
    setError(code, text);
    setFinished(true);
    const QPointer<HttpReply> self(this);
    Q_EMIT errorOccurred(code);
    if (self)
        Q_EMIT finished();
}

void HttpReply::dropSocket()
{
    if (!socket)
        return;
    disconnect(socket, nullptr, this, nullptr);
    socket->abort();
    // Deferred: this may run inside one of the socket's signals.
    socket->deleteLater();
    socket = nullptr;
}

void HttpReply::abort()
{
    if (isFinished())
        return;
    fail(OperationCanceledError, QStringLiteral("Operation canceled"));
}

void HttpReply::close()
{
    abort();
    QNetworkReply::close();
}

qint64 HttpReply::bytesAvailable() const
{
    return buffered() + QNetworkReply::bytesAvailable();
}

qint64 HttpReply::readData(char* data, qint64 maxSize)
{
    const qint64 n = qMin(maxSize, buffered());
    if (n == 0)
        return isFinished() ? -1 : 0;
    memcpy(data, body.constData() + bodyPos, size_t(n));
    bodyPos += n;
    if (bodyPos == body.size()) {
        body.clear();
        bodyPos = 0;
    }
    if (paused) {
        paused = false;
        QTimer::singleShot(0, this, &HttpReply::processInput);
    }
    return n;
}
