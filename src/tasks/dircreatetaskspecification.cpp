#include "tasks/dircreatetaskspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

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
    // The system call itself, for its errno.
    if (::mkdir(QFile::encodeName(dirPath).constData(), 0777) != 0) {
        const int error = errno;
        Q_EMIT message(QStringLiteral("unable to create dir %1").arg(dirPath));
        Q_EMIT message(QStringLiteral("Reason: %1").arg(QString::fromLocal8Bit(std::strerror(error))));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::CreateDir, dirPath));
    return true;
}
