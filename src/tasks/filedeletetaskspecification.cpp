#include "tasks/filedeletetaskspecification.h"

#include <QFile>

FileDeleteTaskSpecification::FileDeleteTaskSpecification(bool failOnError, const QString& path, QObject* parent,
                                                         double parentProgressRange)
    : FastFileOpTaskSpecification(path, nullptr, parent, parentProgressRange)
    , failOnError(failOnError)
{
}

bool FileDeleteTaskSpecification::doOp()
{
    const bool removed = QFile::remove(path);
    if (!failOnError || removed)
        return true;
    Q_EMIT message(QStringLiteral("Could not delete '%1'").arg(path));
    return false;
}
