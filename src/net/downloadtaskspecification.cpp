#include "net/downloadtaskspecification.h"

#include "net/filepreparer.h"
#include "net/httpaccessmanager.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QUrl>

#include <utility>

namespace {
// Body data moves through a fixed buffer of this size.
constexpr qint64 ChunkSize = 4096;
// What a reply holds for a disk that has not taken it yet: the transfer pauses beyond it.
constexpr qint64 ReadBufferSize = 256 * 1024;
// What a file without a listed size (the product ini, its signature) may grow to.
constexpr qint64 UnlistedSizeLimit = 64 * 1024 * 1024;
}

DownloadTaskSpecification::DownloadTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                                                     const QString& remotePath, const QString& localPath,
                                                     qint64 expectedSize, QObject* parent,
                                                     double parentProgressRange)
    : TaskSpecification(parent, parentProgressRange)
    , manager(manager)
    , mirrors(mirrors)
    , remotePath(remotePath)
    , file(localPath)
    , expectedSize(expectedSize)
    , initialExpectedSize(expectedSize)
{
}

// Only reached in the middle of a transfer when a whole subtree is discarded: the slot
// goes back to the pool and the partial file is removed, but nothing is emitted.
DownloadTaskSpecification::~DownloadTaskSpecification()
{
    dropReply();
    releaseSlot();
    dropPartialFile();
}

void DownloadTaskSpecification::execute()
{
    Q_EMIT message(QStringLiteral("Downloading %1").arg(remotePath));
    state = StateRunning;
    startDownload();
}

void DownloadTaskSpecification::reset()
{
    resetDownload();
    TaskSpecification::reset();
}

void DownloadTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                                         bool& downloading)
{
    downloadDone = quint64(bytesWritten);
    downloadTotal = expectedSize >= 0 ? quint64(expectedSize) : 0;
    speed = quint64(bytesWritten - lastTickBytes);
    lastTickBytes = bytesWritten;

    if (state != StateRunning || !reply)
        return;
    if (++idleTicks <= mirror.timeoutTicks) {
        downloading = true;
        return;
    }
    errorRetry(QStringLiteral("file %1 timed out on mirror %2").arg(remotePath, mirror.name));
}

void DownloadTaskSpecification::userCanceled()
{
    TaskSpecification::userCanceled();
    if (state != StateRunning)
        return;
    resetDownload(Part::Keep);
    userCancel();
}

void DownloadTaskSpecification::handleOtherTaskCancelled(TaskSpecification*)
{
    if (reply)
        Q_EMIT message(QStringLiteral("Abort downloading %1").arg(remotePath));
    // A part kept from an earlier attempt stays for a later run, whether a transfer runs or not.
    resetDownload(Part::Keep);
    errorCancel();
}

void DownloadTaskSpecification::downloadFinished()
{
    Q_EMIT message(QStringLiteral("Downloading %1 finished").arg(remotePath));
    releaseSlot();
    finish();
}

void DownloadTaskSpecification::startDownload()
{
    if (takeMirror() && openFile())
        sendRequest();
}

bool DownloadTaskSpecification::takeMirror()
{
    if (!mirrors) {
        errorCancel();
        return false;
    }
    switch (mirrors->getRandomMirror(mirror, avoidedMirrors)) {
    case MirrorsExhausted:
        // A part kept for the next attempt stays for the next run.
        resetDownload(Part::Keep);
        errorCancel();
        return false;
    case MirrorsBusy:
        // Woken whenever a slot comes back, whatever ended its transfer: a reset or a
        // deleted task gives a slot back without any reply finishing.
        connect(mirrors.data(), &Mirrors::slotReleased, this, &DownloadTaskSpecification::onSlotReleased,
                Qt::ConnectionType(Qt::UniqueConnection | Qt::QueuedConnection));
        return false;
    default:
        slotHeld = true;
        return true;
    }
}

// The part an earlier attempt kept is still open; otherwise the part an earlier run left,
// when the owner vouches for it, or a new file.
bool DownloadTaskSpecification::openFile()
{
    writtenMd5.clear();
    if (file.isOpen() || (std::exchange(continueOnDisk, false) && openPartOnDisk()))
        return true;
    if (openNewFile())
        return true;
    failWithoutRetry(QStringLiteral("Unable to create file %1 for saving").arg(file.fileName()), file.errorString());
    return false;
}

bool DownloadTaskSpecification::openPartOnDisk()
{
    if (!file.open(QIODevice::WriteOnly | QIODevice::ExistingOnly | QIODevice::Append))
        return false;
    const qint64 size = file.size();
    if (size <= 0 || size >= initialExpectedSize) {
        file.close();
        return false;
    }
    // Not hashed here: the check reads the whole file once instead.
    hashCoversFile = false;
    bytesWritten = lastTickBytes = size;
    setProgress(double(size) / double(initialExpectedSize));
    return true;
}

bool DownloadTaskSpecification::openNewFile()
{
    writtenHash.reset();
    hashCoversFile = true;
    resumed = false;
    // A new file, never the old one truncated: an install may have given that file a second
    // name in the installation. The preparer's file is new and empty. It is opened without
    // truncating, as ext4 writes a file truncated on open back to disk when it is closed.
    const bool prepared = preparer && preparer->take(preparedIndex);
    preparer.reset();
    // Opened for appending, the position is the size: no second stat of the file.
    if (prepared && file.open(QIODevice::WriteOnly | QIODevice::ExistingOnly | QIODevice::Append)
        && file.pos() != 0)
        file.close(); // not as it was made: start afresh
    if (file.isOpen())
        return true;
    QFile::remove(file.fileName());
    return file.open(QIODevice::WriteOnly | QIODevice::NewOnly);
}

void DownloadTaskSpecification::sendRequest()
{
    requestedFrom = bytesWritten;
    QNetworkRequest request(remoteUrl(mirror.url, remotePath));
    // Whatever manager we are given: a redirect is a bad status, never followed.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    if (requestedFrom > 0)
        request.setRawHeader("Range", "bytes=" + QByteArray::number(requestedFrom) + '-');
    // A mirror cannot fill the disk: the transfer stops at the first byte beyond the size listed.
    request.setAttribute(HttpAccessManager::MaximumBodySizeAttribute,
                         initialExpectedSize >= 0 ? initialExpectedSize - requestedFrom : UnlistedSizeLimit);
    reply = manager->get(request);
    if (!reply) {
        failWithoutRetry(QStringLiteral("Download failed to initialize"));
        return;
    }
    if (!reply->isRunning()) {
        errorRetry(reply->errorString());
        return;
    }
    // Without a limit the network thread buffers whatever the disk has not taken yet.
    reply->setReadBufferSize(ReadBufferSize);
    connect(reply, &QNetworkReply::downloadProgress, this, &DownloadTaskSpecification::onDownloadProgress);
    connect(reply, &QNetworkReply::readyRead, this, &DownloadTaskSpecification::onReadyRead);
    connect(reply, &QNetworkReply::finished, this, &DownloadTaskSpecification::onDownloadFinished);
    connect(reply, &QNetworkReply::metaDataChanged, this, &DownloadTaskSpecification::onMetaDataChanged);
}

void DownloadTaskSpecification::setPreparedFile(std::shared_ptr<FilePreparer> preparer, int index)
{
    this->preparer = std::move(preparer);
    preparedIndex = index;
}

QUrl DownloadTaskSpecification::remoteUrl(const QString& baseUrl, const QString& remotePath)
{
    // File names are data, not URL syntax: "#", "?" and "%41" must reach the server as
    // they are, so every segment is percent-encoded.
    QByteArrayList segments;
    const QStringList names = remotePath.split(QLatin1Char('/'));
    for (const QString& name : names)
        segments += QUrl::toPercentEncoding(name);
    return QUrl(baseUrl + QLatin1Char('/') + QString::fromLatin1(segments.join('/')));
}

void DownloadTaskSpecification::resetDownload(Part part)
{
    stopWaiting();
    abandonAttempt();
    if (part == Part::Keep && canKeepPart())
        file.close(); // for a later run
    else
        dropPartialFile();
    lastTickBytes = 0;
    bytesWritten = 0;
    expectedSize = initialExpectedSize;
    setProgress(0.0);
}

// Ends the transfer; the file and its figures stay as they are.
void DownloadTaskSpecification::abandonAttempt()
{
    releaseSlot();
    mirror.name.clear();
    dropReply();
    idleTicks = 0;
}

// Only a file of a listed size can be continued, and only from bytes that reached the disk.
bool DownloadTaskSpecification::canKeepPart()
{
    return file.isOpen() && bytesWritten > 0 && bytesWritten < initialExpectedSize && file.flush();
}

// The reply may be the sender of the signal being handled: cut off and deleted later.
void DownloadTaskSpecification::dropReply()
{
    if (!reply)
        return;
    disconnect(reply, nullptr, this, nullptr);
    reply->deleteLater();
    reply = nullptr;
}

void DownloadTaskSpecification::dropPartialFile()
{
    if (file.isOpen()) {
        file.close();
        file.remove();
    }
}

// A local failure: no other mirror would do better, so the task ends without a retry.
void DownloadTaskSpecification::failWithoutRetry(const QString& text, const QString& reason)
{
    Q_EMIT error(text);
    if (!reason.isEmpty())
        Q_EMIT message(QStringLiteral("Reason: %1").arg(reason));
    dropPartialFile();
    releaseSlot();
    mirror.name.clear();
    errorCancel();
}

void DownloadTaskSpecification::errorRetry(const QString& text, Part part)
{
    // The attempt's mirror is forgotten by the reset; the report below still names it.
    const QString where = QStringLiteral("Fetching %1 from mirror %2 into %3 failed")
                              .arg(remoteUrl(mirror.url, remotePath).toString(), mirror.name, file.fileName());
    if (mirrors)
        mirrors->addMirrorError(mirror.name, text);
    if (part == Part::Keep && canKeepPart())
        abandonAttempt();
    else
        resetDownload();
    Q_EMIT message(text);
    Q_EMIT message(where);
    startDownload();
}

// Progress is reported once per drained notification: the fractions in between would
// climb the whole task tree for every block, and nobody could see them.
bool DownloadTaskSpecification::readData()
{
    const qint64 before = bytesWritten;
    if (!drainReply())
        return false; // a failed attempt has reset the figures
    if (bytesWritten != before && expectedSize > 0)
        setProgress(qMin(1.0, double(bytesWritten) / double(expectedSize)));
    return true;
}

bool DownloadTaskSpecification::drainReply()
{
    char buffer[ChunkSize];
    while (reply) {
        idleTicks = 0;
        const qint64 available = reply->bytesAvailable();
        if (available <= 0)
            return true;
        const qint64 got = reply->read(buffer, qMin(ChunkSize, available));
        if (got < 0) {
            errorRetry(reply->errorString());
            return false;
        }
        if (got == 0)
            return true;
        const qint64 put = file.write(buffer, got);
        if (put < 0) {
            errorRetry(file.errorString(), Part::Drop);
            return false;
        }
        if (put < got) {
            errorRetry(QStringLiteral("Error writing to file %1. Should write %2 bytes but wrote %3 bytes")
                           .arg(file.fileName())
                           .arg(got)
                           .arg(put),
                       Part::Drop);
            return false;
        }
        if (hashCoversFile)
            writtenHash.addData(QByteArrayView(buffer, put));
        bytesWritten += put;
    }
    return true;
}

void DownloadTaskSpecification::onDownloadProgress(qint64, qint64 bytesTotal)
{
    if (bytesTotal > 0 && expectedSize == -1)
        expectedSize = bytesTotal;
}

void DownloadTaskSpecification::onReadyRead()
{
    readData();
}

void DownloadTaskSpecification::onDownloadFinished()
{
    if (!reply)
        return;
    if (reply->error() != QNetworkReply::NoError) {
        const QString text = reply->errorString();
        if (reply->error() == QNetworkReply::AuthenticationRequiredError) {
            if (mirrors)
                mirrors->removeMirror(mirror.name, text);
            reply->close();
        }
        // A body longer than the file is another file: none of it is worth keeping.
        errorRetry(text, reply->error() == QNetworkReply::UnknownContentError ? Part::Drop : Part::Keep);
        return;
    }
    if (!readData())
        return;
    if (initialExpectedSize >= 0 && bytesWritten != initialExpectedSize) {
        errorRetry(QStringLiteral("%1 ended after %2 of %3 bytes")
                       .arg(mirror.url + QLatin1Char('/') + remotePath)
                       .arg(bytesWritten)
                       .arg(initialExpectedSize));
        return;
    }
    // Writes are buffered: a failure that only shows on the last flush is a failed
    // attempt, not a complete file.
    if (!file.flush()) {
        errorRetry(file.errorString(), Part::Drop);
        return;
    }
    reply->close();
    dropReply();
    file.close();
    if (file.error() == QFileDevice::NoError && hashCoversFile)
        writtenMd5 = QString::fromLatin1(writtenHash.result().toHex());
    downloadFinished();
}

void DownloadTaskSpecification::onMetaDataChanged()
{
    if (!reply)
        return;
    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (!status.isValid())
        return;
    if (status.toInt() == 200) {
        if (requestedFrom > 0)
            startOverFromFirstByte();
        return;
    }
    if (requestedFrom > 0 && (status.toInt() == 206 || status.toInt() == 416)) {
        checkRangeAnswer(status.toInt());
        return;
    }
    const QString text =
        QStringLiteral("%1 returned %2").arg(mirror.url + QLatin1Char('/') + remotePath).arg(status.toInt());
    if (mirrors)
        mirrors->removeMirror(mirror.name, text);
    errorRetry(text);
}

// Appends only when the answer is the rest of the very file whose start is on disk.
void DownloadTaskSpecification::checkRangeAnswer(int status)
{
    const QByteArray range = reply->rawHeader("Content-Range");
    const QByteArray expected = "bytes " + QByteArray::number(requestedFrom) + '-'
                                + QByteArray::number(initialExpectedSize - 1) + '/'
                                + QByteArray::number(initialExpectedSize);
    if (status == 206 && range == expected) {
        resumed = true;
        Q_EMIT message(QStringLiteral("resuming '%1' at %2 of %3 bytes")
                           .arg(remotePath, QString::number(requestedFrom), QString::number(initialExpectedSize)));
        return;
    }
    // Another range or another size: the mirror's file is not the one begun on disk.
    errorRetry(QStringLiteral("%1 returned %2 with Content-Range '%3' for bytes %4 to %5")
                   .arg(mirror.url + QLatin1Char('/') + remotePath, QString::number(status),
                        QString::fromLatin1(range), QString::number(requestedFrom),
                        QString::number(initialExpectedSize - 1)),
               Part::Drop);
}

// A 200 brings the whole file: the part on disk goes and the body is written from its start.
void DownloadTaskSpecification::startOverFromFirstByte()
{
    file.close();
    requestedFrom = 0;
    bytesWritten = lastTickBytes = 0;
    setProgress(0.0);
    if (openNewFile())
        return;
    dropReply();
    failWithoutRetry(QStringLiteral("Unable to create file %1 for saving").arg(file.fileName()), file.errorString());
}

// A finished task keeps the mirror's name for reporting, so the name alone cannot tell
// whether a slot is still held: a second release would corrupt the pool's counts.
void DownloadTaskSpecification::releaseSlot()
{
    if (slotHeld && mirrors)
        mirrors->releaseMirror(mirror.name);
    slotHeld = false;
}

// Ends a wait for a free mirror: a task that no longer runs must not start a transfer later.
void DownloadTaskSpecification::stopWaiting()
{
    if (mirrors)
        disconnect(mirrors.data(), &Mirrors::slotReleased, this, &DownloadTaskSpecification::onSlotReleased);
}

void DownloadTaskSpecification::onSlotReleased()
{
    stopWaiting();
    if (reply || state != StateRunning)
        return;
    startDownload();
}
