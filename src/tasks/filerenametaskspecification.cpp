#include "tasks/filerenametaskspecification.h"

#include <QFile>

FileRenameTaskSpecification::FileRenameTaskSpecification(const QString& oldPath, const QString& newPath,
                                                         RollbackDataList* rollbackList, QObject* parent,
                                                         double parentProgressRange)
    : FastFileOpTaskSpecification(newPath, rollbackList, parent, parentProgressRange)
    , sourcePath(oldPath)
{
}

bool FileRenameTaskSpecification::doOp()
{
    if (!QFile::rename(sourcePath, path)) {
        Q_EMIT message(QStringLiteral("Could not rename '%1' to '%2'").arg(sourcePath, path));
        return false;
    }
    addRollbackOp(RollbackData(RollbackData::Rename, sourcePath, path));
    return true;
}
