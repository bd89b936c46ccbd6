#include "filecheck.h"

#include "digeststream.h"

#include "net/httpaccessmanager.h"

#include <QNetworkReply>

namespace {
// What waits in the reply and in the digest: with the transfer's own block, about 1.5 MiB a
// transfer, whatever the file's size.
constexpr qint64 ReadBufferSize = 256 * 1024;
constexpr qsizetype DigestCapacity = 1024 * 1024;

// The file's size in "bytes 0-0/1234" or "bytes */1234"; -1 when it has none.
qint64 rangeTotal(const QByteArray& contentRange)
{
    const qsizetype slash = contentRange.lastIndexOf('/');
    if (!contentRange.startsWith("bytes ") || slash < 0)
        return -1;
    bool ok = false;
    const qint64 total = contentRange.mid(slash + 1).trimmed().toLongLong(&ok);
    return ok && total >= 0 ? total : -1;
}

QString shortReason(QNetworkReply::NetworkError error)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
        return QStringLiteral("connection refused");
    case QNetworkReply::HostNotFoundError:
        return QStringLiteral("host not found");
    case QNetworkReply::TimeoutError:
        return QStringLiteral("timed out");
    case QNetworkReply::RemoteHostClosedError:
        return QStringLiteral("connection closed");
    case QNetworkReply::SslHandshakeFailedError:
        return QStringLiteral("TLS handshake failed");
    case QNetworkReply::ProtocolFailure:
        return QStringLiteral("protocol failure");
    default:
        return QStringLiteral("network error");
    }
}
}

FileCheck::FileCheck(QNetworkAccessManager* manager, const CheckRequest& request, QObject* parent)
    : QObject(parent)
    , manager(manager)
    , request(request)
{
}

FileCheck::~FileCheck()
{
    dropReply();
}

void FileCheck::start()
{
    saved.setFileName(request.savePath);
    if (!request.savePath.isEmpty() && !saved.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        reasonText = QStringLiteral("cannot write %1: %2").arg(request.savePath, saved.errorString());
        end(LocalError);
        return;
    }
    if (request.hash) {
        digestStream = new DigestStream(request.algorithm, DigestCapacity, this);
        connect(digestStream, &DigestStream::roomAvailable, this, &FileCheck::pump);
        connect(digestStream, &DigestStream::resultReady, this, [this](const QByteArray& digest) {
            digestValue = digest;
            end(Good);
        });
    }
    QNetworkRequest get(request.url);
    if (request.sizeOnly)
        get.setRawHeader("Range", "bytes=0-0");
    const qint64 cap = request.listedSize >= 0 ? request.listedSize : request.maximumSize;
    if (cap >= 0)
        get.setAttribute(HttpAccessManager::MaximumBodySizeAttribute, cap);
    reply.reset(manager->get(get));
    reply->setReadBufferSize(ReadBufferSize);
    connect(reply.get(), &QNetworkReply::metaDataChanged, this, &FileCheck::onMetaData);
    connect(reply.get(), &QNetworkReply::readyRead, this, &FileCheck::pump);
    connect(reply.get(), &QNetworkReply::finished, this, &FileCheck::onFinished);
}

// A listed size is settled by the headers when they give it: no body needed to say "wrong".
void FileCheck::onMetaData()
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (request.sizeOnly && status == 206) {
        rangeSize = rangeTotal(reply->rawHeader("Content-Range"));
        return;
    }
    bool ok = false;
    const qint64 length = reply->rawHeader("Content-Length").toLongLong(&ok);
    if (status != 200 || request.listedSize < 0 || !ok)
        return;
    if (length != request.listedSize)
        end(WrongSize);
    else if (request.sizeOnly) // the mirror ignored the range: its length says enough
        end(Good);
}

void FileCheck::onFinished()
{
    replyFinished = true;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::NoError)
        end(verdictForError());
    else if (status != 200 && !(request.sizeOnly && status == 206))
        end(Missing); // a redirect: the updater does not follow it either
    else if (rangeSize >= 0 || status == 206)
        end(rangeSize == request.listedSize ? Good : WrongSize);
    else
        pump();
}

FileCheck::Verdict FileCheck::verdictForError()
{
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 416 && request.sizeOnly) // an empty file has no first byte
        return rangeTotal(reply->rawHeader("Content-Range")) == request.listedSize ? Good : WrongSize;
    if (status >= 400)
        return Missing;
    if (reply->error() == QNetworkReply::UnknownContentError) // longer than the cap
        return WrongSize;
    reasonText = shortReason(reply->error());
    return Unreachable;
}

void FileCheck::pump()
{
    if (!reply)
        return;
    if (rangeSize >= 0) {
        reply->readAll(); // the one byte asked for
        return;
    }
    while (reply && reply->bytesAvailable() > 0) {
        const qint64 room = digestStream ? digestStream->room() : ReadBufferSize;
        const qint64 count = qMin(reply->bytesAvailable(), qMin(room, ReadBufferSize));
        if (count <= 0)
            return; // the digest catches up first, and roomAvailable calls again
        const QByteArray chunk = reply->read(count);
        received += chunk.size();
        if (saved.isOpen() && saved.write(chunk) != chunk.size()) {
            reasonText = QStringLiteral("cannot write %1: %2").arg(request.savePath, saved.errorString());
            end(LocalError);
            return;
        }
        if (digestStream)
            digestStream->add(chunk);
        Q_EMIT bytesReceived(chunk.size());
    }
    if (replyFinished)
        conclude();
}

void FileCheck::conclude()
{
    if (finishing || result != Pending)
        return;
    if (request.listedSize >= 0 && received != request.listedSize) {
        end(WrongSize);
    } else if (saved.isOpen() && !saved.flush()) {
        reasonText = QStringLiteral("cannot write %1: %2").arg(request.savePath, saved.errorString());
        end(LocalError);
    } else if (!digestStream) {
        end(Good);
    } else {
        finishing = true;
        digestStream->finish(); // resultReady ends the check
    }
}

void FileCheck::end(Verdict verdict)
{
    if (result != Pending)
        return;
    result = verdict;
    dropReply();
    saved.close();
    Q_EMIT done();
}

// The reply goes after its last signal; aborted without a word to us first.
void FileCheck::dropReply()
{
    if (!reply)
        return;
    disconnect(reply.get(), nullptr, this, nullptr);
    if (!reply->isFinished())
        reply->abort();
    reply.release()->deleteLater();
}
