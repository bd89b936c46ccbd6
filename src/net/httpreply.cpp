#include "net/httpreply.h"

#include "net/curlmulti.h"

#include <curl/header.h>

#include <cstdio>
#include <cstring>

namespace {
// Every header line of a transfer counts, interim answers and trailers too: libcurl limits
// one response's headers but not how many interim answers or trailers come.
constexpr qint64 MaxHeaderBytes = 256 * 1024;
// libcurl's receive buffer: larger blocks, fewer calls for a large file.
constexpr long ReceiveBufferSize = 128 * 1024;

struct TransferError
{
    QNetworkReply::NetworkError code;
    QString text;
};

// The one place where libcurl's results become what callers see: Qt's error classes, and a
// text that starts as Qt's does for that class and goes on with libcurl's detail.
TransferError transferError(CURLcode result, const char* detail)
{
    QNetworkReply::NetworkError code = QNetworkReply::UnknownNetworkError;
    QString text = QStringLiteral("Network error");
    switch (result) {
    case CURLE_COULDNT_CONNECT:
        code = QNetworkReply::ConnectionRefusedError;
        text = QStringLiteral("Connection refused");
        break;
    case CURLE_COULDNT_RESOLVE_HOST:
        code = QNetworkReply::HostNotFoundError;
        text = QStringLiteral("Host not found");
        break;
    case CURLE_COULDNT_RESOLVE_PROXY:
        code = QNetworkReply::ProxyNotFoundError;
        text = QStringLiteral("Proxy not found");
        break;
    case CURLE_OPERATION_TIMEDOUT:
        code = QNetworkReply::TimeoutError;
        text = QStringLiteral("Operation timed out");
        break;
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
        code = QNetworkReply::RemoteHostClosedError;
        text = QStringLiteral("Connection closed");
        break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
        code = QNetworkReply::SslHandshakeFailedError;
        text = QStringLiteral("SSL handshake failed");
        break;
    case CURLE_UNSUPPORTED_PROTOCOL:
        code = QNetworkReply::ProtocolUnknownError;
        text = QStringLiteral("Protocol unknown");
        break;
    case CURLE_URL_MALFORMAT:
        code = QNetworkReply::ProtocolInvalidOperationError;
        text = QStringLiteral("Invalid URL");
        break;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_HTTP_RETURNED_ERROR:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
        code = QNetworkReply::ProtocolFailure;
        text = QStringLiteral("Protocol failure");
        break;
    case CURLE_PROXY:
        code = QNetworkReply::ProxyConnectionRefusedError;
        text = QStringLiteral("Proxy failure");
        break;
    default:
        break;
    }
    const QString more = QString::fromUtf8(detail && *detail ? detail : curl_easy_strerror(result)).trimmed();
    return {code, more.isEmpty() ? text : text + QStringLiteral(": ") + more};
}

QNetworkReply::NetworkError errorForStatus(long status)
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
}

HttpReply::HttpReply(CurlMulti* multi, QNetworkAccessManager::Operation op, const QNetworkRequest& request,
                     const TransferLimits& limits, QObject* parent)
    : QNetworkReply(parent)
    , multi(multi)
    , maximumBodySize(limits.maximumBodySize)
    , bodyCap(limits.maximumBodySize)
{
    setRequest(request);
    setUrl(request.url());
    setOperation(op);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
    setFinished(false);

    // Failures found here reach the caller from the event loop, once it has connected.
    if (op != QNetworkAccessManager::GetOperation) {
        result = CURLE_UNSUPPORTED_PROTOCOL;
        std::snprintf(errorBuffer, sizeof errorBuffer, "only GET requests are made");
    } else if (!(easy = multi->takeEasy())) {
        result = CURLE_OUT_OF_MEMORY;
    } else {
        configure(request, limits);
        if (multi->add(this))
            return;
        result = CURLE_FAILED_INIT;
    }
    donePending = true;
    multi->markDirty(this);
    multi->dispatchLater();
}

HttpReply::~HttpReply()
{
    detach();
    if (easy && multi)
        multi->recycleEasy(easy);
    else if (easy)
        curl_easy_cleanup(easy);
    curl_slist_free_all(headerList);
}

// Every limit a transfer has, in one place.
void HttpReply::configure(const QNetworkRequest& request, const TransferLimits& limits)
{
    curl_easy_setopt(easy, CURLOPT_URL, request.url().toEncoded().constData());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, this);
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &HttpReply::onBody);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &HttpReply::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, ReceiveBufferSize);

    // A mirror's answer is taken as it is: no other scheme, no redirect followed (a moved
    // file is a failed source), no HTTP/0.9, no encoding that would change the bytes' MD5.
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(easy, CURLOPT_HTTP09_ALLOWED, 0L);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!limits.caCertificates.isEmpty()) {
        curl_blob blob{const_cast<char*>(limits.caCertificates.constData()), size_t(limits.caCertificates.size()),
                       CURL_BLOB_COPY};
        curl_easy_setopt(easy, CURLOPT_CAINFO_BLOB, &blob);
    }
    curl_easy_setopt(easy, CURLOPT_PROXY, limits.proxy.constData());
    curl_easy_setopt(easy, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);

    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, long(limits.connectTimeoutMs));
    if (limits.floorBytesPerSecond > 0 && limits.floorSeconds > 0) {
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, long(limits.floorBytesPerSecond));
        curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, long(limits.floorSeconds));
    }
    // The cap counts from the range's start; an answer of the whole file (200) may carry the
    // bytes before it as well. Which one comes is known only from its status line.
    const QByteArray range = request.rawHeader("Range");
    if (range.startsWith("bytes=") && range.endsWith('-')) {
        bool ok = false;
        const qint64 start = range.mid(6, range.size() - 7).toLongLong(&ok);
        if (ok && start > 0)
            rangeStart = start;
    }
    if (maximumBodySize >= 0)
        curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, curl_off_t(maximumBodySize + rangeStart));

    const QList<QByteArray> names = request.rawHeaderList();
    for (const QByteArray& name : names)
        headerList = curl_slist_append(headerList, (name + ": " + request.rawHeader(name)).constData());
    if (!request.hasRawHeader("User-Agent"))
        headerList = curl_slist_append(headerList, "User-Agent: Mozilla/5.0");
    if (!request.hasRawHeader("Accept-Encoding"))
        headerList = curl_slist_append(headerList, "Accept-Encoding: identity");
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headerList);
}

size_t HttpReply::onBody(char* data, size_t size, size_t count, void* self)
{
    auto* reply = static_cast<HttpReply*>(self);
    const qint64 n = qint64(size * count);
    if (reply->bodyCap >= 0 && reply->received + n > reply->bodyCap) {
        reply->tooLong = true;
        return CURL_WRITEFUNC_ERROR;
    }
    // A reader that takes less than arrives holds the transfer at its buffer size and one
    // block more: a block is taken whole or not at all, and one taken is one more readyRead.
    const qint64 cap = reply->readBufferSize();
    if (cap > 0 && reply->buffered() >= cap) {
        reply->paused = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    if (reply->bodyPos > 0 && reply->bodyPos == reply->body.size()) {
        reply->body.resize(0);
        reply->bodyPos = 0;
    }
    reply->body.append(data, qsizetype(n));
    reply->received += n;
    reply->dataPending = true;
    reply->multi->markDirty(reply);
    return size_t(n);
}

size_t HttpReply::onHeader(char* data, size_t size, size_t count, void* self)
{
    auto* reply = static_cast<HttpReply*>(self);
    const size_t n = size * count;
    reply->headerBytes += qint64(n);
    if (reply->headerBytes > MaxHeaderBytes) {
        reply->tooManyHeaders = true;
        return 0;
    }
    // The empty line after the headers: those of the final answer, not of an interim one.
    const bool blank = (n == 2 && data[0] == '\r' && data[1] == '\n') || (n == 1 && data[0] == '\n');
    if (blank && !reply->headersDone) {
        long status = 0;
        curl_easy_getinfo(reply->easy, CURLINFO_RESPONSE_CODE, &status);
        if (status >= 200) {
            if (status != 206 && reply->maximumBodySize >= 0)
                reply->bodyCap = reply->maximumBodySize + reply->rangeStart;
            reply->headersDone = true;
            reply->metaDataPending = true;
            reply->multi->markDirty(reply);
        }
    }
    return n;
}

void HttpReply::transferDone(CURLcode code)
{
    result = code;
    donePending = true;
    multi->markDirty(this);
}

void HttpReply::deliver()
{
    queued = false;
    if (ended)
        return;
    const QPointer<HttpReply> self(this);
    if (metaDataPending) {
        metaDataPending = false;
        if (!takeMetaData())
            return;
        Q_EMIT metaDataChanged();
        if (!self || ended)
            return;
    }
    if (dataPending) {
        dataPending = false;
        Q_EMIT downloadProgress(received, total);
        if (!self || ended)
            return;
        Q_EMIT readyRead();
        if (!self || ended)
            return;
    }
    if (donePending) {
        donePending = false;
        complete();
    }
}

// False when the headers are refused and the reply has failed.
bool HttpReply::takeMetaData()
{
    long status = 0;
    curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
    setAttribute(QNetworkRequest::HttpStatusCodeAttribute, int(status));
    curl_off_t length = -1;
    curl_easy_getinfo(easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length);
    total = length;

    // libcurl takes the last of several lengths; two that differ make the size unknowable.
    curl_header* header = nullptr;
    if (curl_easy_header(easy, "Content-Length", 0, CURLH_HEADER, -1, &header) == CURLHE_OK) {
        const QByteArray first = header->value;
        for (size_t i = 1, n = header->amount; i < n; ++i) {
            curl_header* other = nullptr;
            if (curl_easy_header(easy, "Content-Length", i, CURLH_HEADER, -1, &other) == CURLHE_OK
                && QByteArray(other->value) != first) {
                fail(ProtocolFailure, QStringLiteral("Protocol failure: %1 sent two different lengths")
                                          .arg(url().toString()));
                return false;
            }
        }
    }
    // Only the headers a caller reads: copying every header of every small file costs more
    // than the file's own bytes.
    for (const char* name : {"Content-Length", "Content-Type", "Content-Range", "Location"}) {
        if (curl_easy_header(easy, name, 0, CURLH_HEADER, -1, &header) != CURLHE_OK)
            continue;
        QByteArray value(header->value);
        for (size_t i = 1, n = header->amount; i < n; ++i) {
            curl_header* other = nullptr;
            if (curl_easy_header(easy, name, i, CURLH_HEADER, -1, &other) == CURLHE_OK)
                value += ", " + QByteArray(other->value);
        }
        setRawHeader(name, value);
    }
    char* location = nullptr;
    if (curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location)
        setAttribute(QNetworkRequest::RedirectionTargetAttribute, QUrl::fromEncoded(location));
    return true;
}

void HttpReply::complete()
{
    if (tooLong) {
        fail(UnknownContentError, QStringLiteral("Transfer of %1 stopped: longer than the %2 bytes expected")
                                      .arg(url().toString())
                                      .arg(bodyCap));
        return;
    }
    if (tooManyHeaders) {
        fail(ProtocolFailure, QStringLiteral("Protocol failure: %1 sent more than %2 bytes of headers")
                                  .arg(url().toString())
                                  .arg(MaxHeaderBytes));
        return;
    }
    if (result == CURLE_FILESIZE_EXCEEDED) {
        fail(UnknownContentError, QStringLiteral("Transfer of %1 stopped: announced longer than the %2 bytes expected")
                                      .arg(url().toString())
                                      .arg(maximumBodySize + rangeStart));
        return;
    }
    if (result != CURLE_OK) {
        const TransferError e = transferError(result, errorBuffer);
        fail(e.code, e.text);
        return;
    }
    // libcurl takes a header block cut off by the close for a whole answer.
    if (!headersDone) {
        fail(ProtocolFailure, QStringLiteral("Protocol failure: %1 closed the connection inside the headers")
                                  .arg(url().toString()));
        return;
    }
    const int status = attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status >= 400) {
        fail(errorForStatus(status),
             QStringLiteral("Error transferring %1 - server replied: %2").arg(url().toString()).arg(status));
        return;
    }
    end();
    const QPointer<HttpReply> self(this);
    Q_EMIT readChannelFinished();
    if (self)
        Q_EMIT finished();
}

void HttpReply::fail(NetworkError code, const QString& text)
{
    if (ended)
        return;
    end();
    setError(code, text);
    const QPointer<HttpReply> self(this);
    Q_EMIT errorOccurred(code);
    if (self)
        Q_EMIT finished();
}

void HttpReply::end()
{
    ended = true;
    detach();
    setFinished(true);
}

void HttpReply::detach()
{
    if (multi)
        multi->remove(this);
}

void HttpReply::abort()
{
    if (ended)
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
        return ended ? -1 : 0;
    memcpy(data, body.constData() + bodyPos, size_t(n));
    bodyPos += n;
    if (bodyPos == body.size()) {
        body.resize(0);
        bodyPos = 0;
    }
    if (paused && !ended && multi && buffered() < readBufferSize()) {
        paused = false;
        multi->resumeLater(this);
    }
    return n;
}
