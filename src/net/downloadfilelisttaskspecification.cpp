#include "net/downloadfilelisttaskspecification.h"

#include "core/configuration.h"
#include "net/downloadfiletaskspecification.h"
#include "net/filepreparer.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <cstring>
#include <utility>

DownloadFileListTaskSpecification::DownloadFileListTaskSpecification(QList<FileDownloadSpecification>* downloadList,
                                                                     QNetworkAccessManager* manager, Mirrors* mirrors,
                                                                     Configuration* configuration, QObject* parent,
                                                                     double parentProgressRange)
    : ComposedTaskSpecification(configuration->downloadStreams, parentProgressRange, parent)
    , downloadList(downloadList)
    , manager(manager)
    , mirrors(mirrors)
    , configuration(configuration)
{
}

void DownloadFileListTaskSpecification::execute()
{
    makeSubtasksAndStart();
}

void DownloadFileListTaskSpecification::reset()
{
    // File tasks still transferring give their mirror slots back before they go.
    for (TaskSpecification* task : getSubTasks()) {
        if (task->getState() == StateRunning)
            task->reset();
    }
    clearSubTasks();
    preparer.reset();
    totalSize = 0;
    released = false;
    releasedDone = releasedSpeed = 0;
    TaskSpecification::reset();
}

void DownloadFileListTaskSpecification::timeTick(quint64& downloadDone, quint64& downloadTotal, quint64& speed,
                                                 bool& downloading)
{
    if (released) {
        downloading = false;
        downloadDone += releasedDone;
        speed += std::exchange(releasedSpeed, 0);
    } else {
        ComposedTaskSpecification::timeTick(downloadDone, downloadTotal, speed, downloading);
    }
    downloadTotal = quint64(totalSize);
}

void DownloadFileListTaskSpecification::subtasksDone()
{
    if (preparer)
        preparer->stop();
    ComposedTaskSpecification::subtasksDone();
    if (state != StateFinished)
        return;
    quint64 total = 0;
    bool downloading = false;
    ComposedTaskSpecification::timeTick(releasedDone, total, releasedSpeed, downloading);
    released = true;
    clearSubTasks();
    // Its names are no longer needed: the install that follows has its own peak.
    preparer.reset();
}

bool DownloadFileListTaskSpecification::makeSubDirs()
{
    const QDir tempDir(configuration->tempDir);
    QSet<QString> made{QStringLiteral(".")};
    for (const FileDownloadSpecification& item : std::as_const(*downloadList)) {
        const QString dir = QFileInfo(item.filePath).path();
        if (made.contains(dir))
            continue;
        if (!tempDir.mkpath(dir)) {
            const int error = errno;
            Q_EMIT message(QStringLiteral("Could not create dir %1").arg(tempDir.canonicalPath() + QLatin1Char('/') + dir));
            Q_EMIT message(QStringLiteral("Reason: %1").arg(QString::fromLocal8Bit(std::strerror(error))));
            errorCancel();
            return false;
        }
        made.insert(dir);
    }
    return true;
}

void DownloadFileListTaskSpecification::makeSubtasksAndStart()
{
    if (downloadList->isEmpty()) {
        Q_EMIT message(QStringLiteral("No downloads needed"));
        finish();
        return;
    }
    if (!makeSubDirs())
        return;
    Q_EMIT message(QStringLiteral("Downloading files"));

    // A file with a part to continue is not made anew.
    QStringList paths;
    paths.reserve(downloadList->size());
    for (const FileDownloadSpecification& item : std::as_const(*downloadList)) {
        if (item.partialSize == 0)
            paths.append(item.filePath);
        totalSize += item.size;
    }
    preparer = std::make_shared<FilePreparer>(configuration->tempDir, paths);

    // Each file's task is made when it starts and goes when it has its file: thousands made
    // at once would be the largest part of the update's memory.
    fileWeight = 1.0 / downloadList->size();
    preparedIndex = 0;
    planSubTasks(int(downloadList->size()));
    state = StateRunning;
    executeSubTasks();
}

TaskSpecification* DownloadFileListTaskSpecification::makeSubTask(int index)
{
    const FileDownloadSpecification& item = downloadList->at(index);
    auto* task = new DownloadFileTaskSpecification(item, manager, mirrors, configuration, this, fileWeight);
    if (item.partialSize == 0)
        task->setPreparedFile(preparer, preparedIndex++);
    return task;
}
