#include "tasks/filecopytaskspecification.h"

#include "tasks/filecopyfunc.h"

#include <cerrno>

FileCopyTaskSpecification::FileCopyTaskSpecification(RollbackDataList* rollbackList, const QString& sourcePath,
                                                     const QString& destPath, QObject* parent,
                                                     double parentProgressRange)
    : SlowFileOpSpecification(QStringLiteral("Could not copy '%1' to '%2'").arg(sourcePath, destPath), rollbackList,
                              sourcePath, destPath, parent, parentProgressRange)
{
}

void FileCopyTaskSpecification::execute()
{
    const FileCopyFunc::Link link =
        sourceDisposable ? FileCopyFunc::linkDisposable(sourcePath, destPath) : FileCopyFunc::Link::NotPossible;
    if (link == FileCopyFunc::Link::NotPossible) {
        SlowFileOpSpecification::execute();
        return;
    }
    state = StateRunning;
    failureReason = link == FileCopyFunc::Link::Made ? QString() : SlowFileOpFunc::systemError(EEXIST);
    runDone(link == FileCopyFunc::Link::Made);
}

ASyncFunc* FileCopyTaskSpecification::createFunction()
{
    return new FileCopyFunc(sourcePath, destPath, sourceDisposable);
}
