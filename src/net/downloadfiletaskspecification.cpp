#include "net/downloadfiletaskspecification.h"

#include "core/configuration.h"
#include "net/downloadtaskspecification.h"
#include "net/filepreparer.h"
#include "net/mirrors.h"
#include "update/checksignaturetaskspecification.h"

#include <QFile>

#include <utility>

namespace {
constexpr double DownloadWeight = 0.8;
constexpr double CheckWeight = 0.2;
}

DownloadFileTaskSpecification::DownloadFileTaskSpecification(const FileDownloadSpecification& item,
                                                             QNetworkAccessManager* manager, Mirrors* mirrors,
                                                             Configuration* configuration, QObject* parent,
                                                             double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , item(item)
    , manager(manager)
    , mirrors(mirrors)
    , configuration(configuration)
{
}

void DownloadFileTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileTaskSpecification::reset()
{
    // A transfer in flight gives its mirror slot back now, not when the discarded task
    // is deleted; a finished one has given it back already and must not do so twice.
    if (downloadTask && downloadTask->getState() == StateRunning)
        downloadTask->reset();
    downloadTask = nullptr;
    clearSubTasks();
    released = false;
    releasedDone = releasedTotal = releasedSpeed = 0;
    TaskSpecification::reset();
}

void DownloadFileTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                                             bool& downloading)
{
    if (!released) {
        ComposedTaskSpecification::timeTick(downloadDone, downloadTotal, speed, downloading);
        return;
    }
    downloading = false;
    downloadDone += releasedDone;
    downloadTotal += releasedTotal;
    speed += releasedSpeed;
    releasedSpeed = 0;
}

void DownloadFileTaskSpecification::subtasksDone()
{
    ComposedTaskSpecification::subtasksDone();
    if (state != StateFinished)
        return;
    quint64 done = 0, total = 0, speed = 0;
    bool downloading = false;
    ComposedTaskSpecification::timeTick(done, total, speed, downloading);
    releasedDone = done;
    releasedTotal = total;
    releasedSpeed = speed;
    released = true;
    // The name of the mirror that served the file goes with the transfer.
    downloadTask = nullptr;
    clearSubTasks();
}

void DownloadFileTaskSpecification::setPreparedFile(std::shared_ptr<FilePreparer> preparer, int index)
{
    this->preparer = std::move(preparer);
    preparedIndex = index;
}

void DownloadFileTaskSpecification::makeSubtasksAndStart()
{
    const QString remotePath = item.section + QLatin1Char('/') + item.filePath;
    const QString localPath = configuration->tempDir + QLatin1Char('/') + item.filePath;

    downloadTask = new DownloadTaskSpecification(manager, mirrors, remotePath, localPath, item.size, this,
                                                 DownloadWeight);
    if (preparer)
        downloadTask->setPreparedFile(std::exchange(preparer, nullptr), preparedIndex);
    // Only the first attempt: after a failed check the file starts from its first byte.
    if (std::exchange(item.partialSize, 0) > 0)
        downloadTask->continueFileOnDisk();
    addSubTask(downloadTask);

    auto* check = new CheckSignatureTaskSpecification(localPath, item.md5Sum, false, this, CheckWeight);
    // The check runs after the download has ended; it compares the sum of what was written.
    connect(downloadTask, &TaskSpecification::finished, check, [check](TaskSpecification* download) {
        check->setWrittenMd5(static_cast<DownloadTaskSpecification*>(download)->getWrittenMd5());
    });
    connect(check, &CheckSignatureTaskSpecification::checkDone, this, &DownloadFileTaskSpecification::onSigCheckDone);
    addSubTask(check);

    state = StateRunning;
    executeSubTasks();
}

void DownloadFileTaskSpecification::onSigCheckDone(bool pass, CheckSignatureTaskSpecification*)
{
    if (pass)
        return;
    // A finished download keeps the name of the mirror that served it. A file put together
    // from several answers may owe its fault to any of them: that mirror is only charged.
    const FTPSiteAccessData& served = downloadTask->getMirror();
    const QString badMirror = served.name;
    const bool resumed = downloadTask->wasResumed();
    // Nothing of it is continued by a later attempt or run.
    QFile::remove(configuration->tempDir + QLatin1Char('/') + item.filePath);
    if (!cancelRequested) {
        Q_EMIT message(resumed ? QStringLiteral("md5 sum for %1 failed after resuming, retrying from the first byte")
                                     .arg(item.filePath)
                               : QStringLiteral("md5 sum for %1 failed, invalidating mirror and retrying")
                                     .arg(item.filePath));
        Q_EMIT message(QStringLiteral("Served by mirror %1 as %2")
                           .arg(badMirror, DownloadTaskSpecification::remoteUrl(served.url, downloadTask->getRemotePath())
                                               .toString()));
    }
    if (resumed)
        mirrors->addMirrorError(badMirror);
    else
        mirrors->removeMirror(badMirror, QStringLiteral("md5 sum for %1 failed").arg(item.filePath));
    if (cancelRequested) {
        // The user cancelled while the check ran: no new attempt, and the bad file must
        // not let this task finish.
        userCancel();
        return;
    }
    reset();
    makeSubtasksAndStart();
}
