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
    QFile file(path);
    const bool removed = file.remove();
    if (!failOnError || removed)
        return true;
    Q_EMIT message(QStringLiteral("Could not delete '%1'").arg(path));
    Q_EMIT message(QStringLiteral("Reason: %1").arg(file.errorString()));
    return false;
}
