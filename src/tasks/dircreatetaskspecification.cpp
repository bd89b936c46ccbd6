#include "tasks/dircreatetaskspecification.h"

#include <QDir>
#include <QFileInfo>

DirCreateTaskSpecification::DirCreateTaskSpecification(const QString& path, RollbackDataList* rollbackList,
                                                       QObject* parent, double parentProgressRange)
    : FastFileOpTaskSpecification(path, rollbackList, parent, parentProgressRange)
{
}

bool DirCreateTaskSpecification::doOp()
{
    return tryCreateDir(path);
}

bool DirCreateTaskSpecification::tryCreateDir(const QString& dirPath)
{
    const QFileInfo info(dirPath);
    if (info.exists()) {
        if (info.isDir())
            return true;
        Q_EMIT message(QStringLiteral("Could not create dir '%1' because it already exists and is not a dir")
                           .arg(dirPath));
        return false;
    }
    const QDir parent = info.dir();
    if (parent.path() == QLatin1String(".") || info.isRoot()) {
        Q_EMIT message(QStringLiteral("Could not create dir %1").arg(path));
        return false;
    }
    if (!parent.exists() && !tryCreateDir(parent.path()))
        return false;
    if (!parent.mkdir(info.fileName())) {
        Q_EMIT message(QStringLiteral("unable to create dir %1").arg(dirPath));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::CreateDir, dirPath));
    return true;
}
