#include "update/maintaskspecification.h"

#include "core/configuration.h"
#include "net/downloadfilelisttaskspecification.h"
#include "tasks/safefileops.h"
#include "tasks/filedeletelisttaskspecification.h"
#include "update/filereplacelisttaskspecification.h"
#include "update/inidownloadtaskspecification.h"
#include "update/makedownloadreplacelisttaskspecification.h"
#include "update/resumerecord.h"

#include <QFile>

MainTaskSpecification::MainTaskSpecification(QNetworkAccessManager* manager, Mirrors* mirrors,
                                             Configuration* configuration, QObject* parent,
                                             double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , manager(manager)
    , mirrors(mirrors)
    , configuration(configuration)
{
}

void MainTaskSpecification::execute()
{
    Q_EMIT message(QStringLiteral("Starting update process"));
    makeSubtasksAndStart();
}

// All five phases exist before the first runs; the later ones are handed the lists, not
// their contents, because the lists are filled only by the second phase.
void MainTaskSpecification::makeSubtasksAndStart()
{
    addSubTask(new IniDownloadTaskSpecification(manager, mirrors, configuration, this, 0.1));
    addSubTask(new MakeDownloadReplaceListTaskSpecification(configuration, fileSpecifications, this, 0.05));
    addSubTask(new DownloadFileListTaskSpecification(&fileSpecifications.downloadList, manager, mirrors,
                                                     configuration, this, 0.4));
    auto* install = new FileReplaceListTaskSpecification(&fileSpecifications.replaceList,
                                                         &fileSpecifications.deleteList, configuration, this, 0.4);
    addSubTask(install);
    // Before the next phase starts, which is queued.
    connect(install, &TaskSpecification::finished, this, &MainTaskSpecification::onInstalled);
    addSubTask(new FileDeleteListTaskSpecification(&fileSpecifications.deleteList, this, 0.05));
    state = StateRunning;
    executeSubTasks();
}

// The phases run one at a time, so the first that ended in an error ended the run.
MainTaskSpecification::Failure MainTaskSpecification::failure() const
{
    if (state != StateErrorCanceled)
        return NoFailure;
    for (TaskSpecification* phase : getSubTasks()) {
        if (phase->getState() != StateErrorCanceled)
            continue;
        if (auto* ini = qobject_cast<IniDownloadTaskSpecification*>(phase))
            return ini->signatureRefused() ? DescriptionRefused : DownloadFailed;
        if (auto* list = qobject_cast<MakeDownloadReplaceListTaskSpecification*>(phase))
            return list->failedOnStorage() ? StorageShort : DescriptionRefused;
        if (qobject_cast<DownloadFileListTaskSpecification*>(phase))
            return DownloadFailed;
        break;
    }
    return InstallFailed;
}

void MainTaskSpecification::reset()
{
    clearSubTasks();
    fileSpecifications.clear();
    TaskSpecification::reset();
}

void MainTaskSpecification::onInstalled()
{
    const QList<FileReplaceSpecification>& installed = fileSpecifications.replaceList;
    if (installed.isEmpty())
        return;
    // Every file is in place, so a later run would find nothing to download: the copies are
    // of no further use. Gone before the flush, their data never goes to disk, and the final
    // clean-up does not wait for the disk once per written-back file.
    // In batches: the paths of every file at once would add to the update's peak memory.
    constexpr qsizetype Batch = 4096;
    QStringList copies;
    for (qsizetype first = 0; first < installed.size(); first += Batch) {
        copies.clear();
        for (qsizetype i = first; i < qMin(installed.size(), first + Batch); ++i)
            copies.append(configuration->tempDir + QLatin1Char('/') + installed.at(i).filePath);
        SafeFileOps::removeFiles(copies);
    }
    QFile::remove(ResumeRecord::path(configuration->tempDir, configuration->clientType));
    // One flush for the whole installation instead of one per file, before anything
    // obsolete is deleted: a kill cannot lose written data anyway, and this covers a
    // power loss from here on.
    SafeFileOps::syncFileSystem(Configuration::getAppRootPath());
}
