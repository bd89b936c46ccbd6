#include "update/filereplacetaskspecification.h"

#include "core/configuration.h"
#include "tasks/filecopytaskspecification.h"
#include "tasks/filedeletetaskspecification.h"
#include "tasks/filerenametaskspecification.h"
#include "tasks/fileunziptaskspecification.h"
#include "tasks/safefileops.h"
#include "update/checksignaturetaskspecification.h"

#include <QFile>
#include <QFileInfo>
#include <QStringBuilder>
#include <QStringList>

namespace {
const QStringList& executableFiles()
{
    static const QStringList files{QStringLiteral("package_inst"),           QStringLiteral("error_report"),
                                   QStringLiteral("update"),                 QStringLiteral("qv3client_runscript.sh"),
                                   QStringLiteral("qv3client_linux_amd64"), QStringLiteral("qv3client_linux_x86")};
    return files;
}

const QStringList& executableSuffixes()
{
    static const QStringList suffixes{QStringLiteral("so"), QStringLiteral("so.4")};
    return suffixes;
}
}

FileReplaceTaskSpecification::FileReplaceTaskSpecification(const FileReplaceSpecification& replaceItem,
                                                           QList<QString>* deleteList, RollbackDataList* phaseJournal,
                                                           Configuration* configuration, QObject* parent,
                                                           double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , replaceItem(replaceItem)
    , deleteList(deleteList)
    , phaseJournal(phaseJournal)
    , configuration(configuration)
{
}

QString FileReplaceTaskSpecification::installedPath(const QString& relativePath)
{
    // Made to size: the phase journal keeps one of these per installed file to the end.
    return Configuration::getAppRootPath() % QLatin1Char('/') % relativePath;
}

void FileReplaceTaskSpecification::execute()
{
    Q_EMIT message(QStringLiteral("add/replace %1").arg(replaceItem.filePath));
    makeSubtasksAndStart();
}

void FileReplaceTaskSpecification::makeSubtasksAndStart()
{
    const QString source = configuration->tempDir + QLatin1Char('/') + replaceItem.filePath;
    const QString dest = installedPath(replaceItem.destFileName(QString()));
    const QString old = installedPath(replaceItem.oldDestFileName());

    // A directory where a file belongs holds what the user put there: moved aside, it could
    // not be deleted after the update and would block the move aside of every later one.
    const SafeFileOps::Entry destEntry = SafeFileOps::entryKind(dest);
    if (destEntry == SafeFileOps::Entry::Directory) {
        Q_EMIT message(QStringLiteral("Could not replace '%1': it is a directory").arg(dest));
        errorCancel();
        return;
    }
    double remaining = 1.0;
    // Existence without following links: a dangling link still occupies the name.
    const bool oldThere = SafeFileOps::entryExists(old);
    if (destEntry != SafeFileOps::Entry::None) {
        if (oldThere) {
            // Left over from an interrupted update; it is in the way of the move aside.
            addSubTask(new FileDeleteTaskSpecification(true, old, this, 0.1));
            remaining = 0.9;
        }
        movedAside = true;
        addSubTask(new FileRenameTaskSpecification(dest, old, &ownJournal, this, 0.1));
        remaining -= 0.1;
    } else if (oldThere) {
        // An interrupted update moved the installed copy aside and never put the new one in
        // place: the "_old_" copy is the installed one, to restore on failure and to delete
        // after success like any moved-aside file.
        movedAside = true;
        ownJournal.add(RollbackData(RollbackData::Rename, dest, old));
    }
    if (replaceItem.hasUnzip()) {
        addSubTask(new FileUnzipTaskSpecification(&ownJournal, source, dest, this, remaining - 0.2));
        addSubTask(new CheckSignatureTaskSpecification(dest, replaceItem.unzipMd5Sum, true, this, 0.2));
    } else {
        auto* copy = new FileCopyTaskSpecification(&ownJournal, source, dest, this, remaining);
        // The downloaded copy is deleted once everything is installed.
        copy->setSourceDisposable(true);
        addSubTask(copy);
    }
    state = StateRunning;
    executeSubTasks();
}

void FileReplaceTaskSpecification::subtasksDone()
{
    if (getStateFromSubTasks() == StateFinished) {
        // From now on the phase journal owns these entries; keeping them here as well
        // would let a reset of this task undo them a second time.
        if (phaseJournal)
            phaseJournal->appendList(ownJournal);
        ownJournal.clear();
        const QString fileName = QFileInfo(replaceItem.pureDestFilePath()).fileName();
        if (movedAside && deleteList && !configuration->isSpecialFileName(fileName))
            deleteList->append(replaceItem.oldDestFileName());
        makeSingleFileExecutable(installedPath(replaceItem.destFileName(QString())));
    } else {
        ownJournal.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
    // Its steps have nothing more to do or to undo: an update of many files would otherwise
    // hold every one of them to the end.
    if (state == StateFinished)
        clearSubTasks();
}

void FileReplaceTaskSpecification::makeSingleFileExecutable(const QString& path) const
{
    const QFileInfo info(path);
    if (!replaceItem.executable && !executableFiles().contains(info.fileName())
        && !executableSuffixes().contains(info.completeSuffix()))
        return;
    // 0755: writable by the owner only, so no other local user can change what runs.
    QFile::setPermissions(path, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                    | QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser
                                    | QFileDevice::ReadGroup | QFileDevice::ExeGroup | QFileDevice::ReadOther
                                    | QFileDevice::ExeOther);
}

void FileReplaceTaskSpecification::reset()
{
    clearSubTasks();
    ownJournal.rollback(this);
    movedAside = false;
    TaskSpecification::reset();
}
