#include "update/filereplacelisttaskspecification.h"

#include "core/configuration.h"
#include "tasks/dircreatetaskspecification.h"
#include "update/filereplacetaskspecification.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QStringList>

#include <utility>

FileReplaceListTaskSpecification::FileReplaceListTaskSpecification(QList<FileReplaceSpecification>* replaceList,
                                                                   QList<QString>* deleteList,
                                                                   Configuration* configuration, QObject* parent,
                                                                   double parentProgressRange)
    : ComposedTaskSpecification(2, parentProgressRange, parent)
    , replaceList(replaceList)
    , deleteList(deleteList)
    , configuration(configuration)
{
}

void FileReplaceListTaskSpecification::execute()
{
    Q_EMIT message(QStringLiteral("Starting file updates"));
    makeSubtasksAndStart();
}

void FileReplaceListTaskSpecification::makeSubtasksAndStart()
{
    makeFileReplaceTasks(makeSubdirTasks() > 0);
    state = StateRunning;
    executeSubTasks();
}

int FileReplaceListTaskSpecification::makeSubdirTasks()
{
    QSet<QString> seen;
    QStringList missing;
    for (const FileReplaceSpecification& entry : std::as_const(*replaceList)) {
        const QString file = FileReplaceTaskSpecification::installedPath(entry.destFileName(QString()));
        const QString dir = QDir::cleanPath(QFileInfo(file).absolutePath());
        if (seen.contains(dir))
            continue;
        seen.insert(dir);
        if (!QFileInfo::exists(dir))
            missing.append(dir);
    }
    // Plain string order puts a parent before its children.
    missing.sort();
    for (const QString& dir : missing)
        addSubTask(new DirCreateTaskSpecification(dir, &ownJournal, this, 0.1 / missing.size()));
    return int(missing.size());
}

// Made one by one as they start: tens of thousands of file tasks made at once would be the
// largest part of the update's memory.
void FileReplaceListTaskSpecification::makeFileReplaceTasks(bool hasSubdirTasks)
{
    if (replaceList->isEmpty())
        return;
    fileWeight = (hasSubdirTasks ? 0.9 : 1.0) / replaceList->size();
    planSubTasks(int(replaceList->size()));
}

TaskSpecification* FileReplaceListTaskSpecification::makeSubTask(int index)
{
    return new FileReplaceTaskSpecification(replaceList->at(index), deleteList, &ownJournal, configuration, this,
                                            fileWeight);
}

void FileReplaceListTaskSpecification::subtasksDone()
{
    // No flush per file; the update flushes once after this phase.
    if (getStateFromSubTasks() != StateFinished) {
        Q_EMIT message(QStringLiteral("rolling back file updates"));
        ownJournal.rollback(this);
    }
    ComposedTaskSpecification::subtasksDone();
}

void FileReplaceListTaskSpecification::reset()
{
    clearSubTasks();
    ownJournal.rollback(this);
    TaskSpecification::reset();
}
