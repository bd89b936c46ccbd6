#include "tasks/filerenametaskspecification.h"

#include "tasks/safefileops.h"

#include <cerrno>
#include <cstring>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString& oldPath, const QString& newPath,
                                                         RollbackDataList* rollbackList, QObject* parent,
                                                         double parentProgressRange)
    : FastFileOpTaskSpecification(newPath, rollbackList, parent, parentProgressRange)
    , sourcePath(oldPath)
{
}

bool FileRenameTaskSpecification::doOp()
{
    // Never onto anything already there, not even a dangling link, and never by copying.
    if (!SafeFileOps::renameNoReplace(sourcePath, path)) {
        const int error = errno;
        Q_EMIT message(QStringLiteral("Could not rename '%1' to '%2'").arg(sourcePath, path));
        Q_EMIT message(QStringLiteral("Reason: %1").arg(QString::fromLocal8Bit(std::strerror(error))));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::Rename, sourcePath, path));
    return true;
}
