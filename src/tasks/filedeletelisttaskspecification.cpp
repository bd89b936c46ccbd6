#include "tasks/filedeletelisttaskspecification.h"

#include "core/configuration.h"
#include "tasks/filedeletetaskspecification.h"

FileDeleteListTaskSpecification::FileDeleteListTaskSpecification(QList<QString>* fileList, QObject* parent,
                                                                 double parentProgressRange)
    : ComposedTaskSpecification(1, parentProgressRange, parent)
    , fileList(fileList)
{
}

void FileDeleteListTaskSpecification::execute()
{
    Q_EMIT message(QStringLiteral("Starting deleting files"));
    makeSubtasksAndStart();
}

void FileDeleteListTaskSpecification::makeSubtasksAndStart()
{
    const QString root = Configuration::getAppRootPath();
    const qsizetype count = fileList ? fileList->size() : 0;
    for (const QString& file : fileList ? *fileList : QList<QString>()) {
        // Plain concatenation keeps even an absolute entry below the root: the list
        // comes from the product ini, and the list compiler checked root + "/" + entry.
        addSubTask(new FileDeleteTaskSpecification(false, root + QLatin1Char('/') + file, this, 1.0 / count));
    }
    state = StateRunning;
    executeSubTasks();
}

void FileDeleteListTaskSpecification::reset()
{
    clearSubTasks();
    TaskSpecification::reset();
}
