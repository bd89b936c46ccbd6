#include "tasks/rollbackdata.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMetaObject>
#include <QObject>

#include "tasks/safefileops.h"

RollbackData::RollbackData(Operation operation, const QString& oldPath, const QString& path)
    : path(path)
    , oldPath(oldPath)
    , operation(operation)
{
}

RollbackData::RollbackData(Operation operation, const QString& path)
    : path(path)
    , operation(operation)
{
}

bool RollbackData::rollback(QObject* reporter) const
{
    switch (operation) {
    case Rename:
        if (SafeFileOps::renameNoReplace(path, oldPath))
            return true;
        message(reporter, QStringLiteral("warning: rollback rename %1 to %2 failed").arg(oldPath, path));
        return false;
    case CreateFile:
        if (QFile::remove(path))
            return true;
        message(reporter, QStringLiteral("warning: rollback create file %1 failed").arg(path));
        return false;
    case CreateDir: {
        // rmdir refuses a directory that still holds anything.
        const QFileInfo info(path);
        if (info.dir().rmdir(info.fileName()))
            return true;
        message(reporter, QStringLiteral("warning: rollback create dir %1 failed").arg(path));
        return false;
    }
    }
    qFatal("Should not reach here");
    return false;
}

void RollbackData::message(QObject* reporter, const QString& text)
{
    if (!reporter)
        return;
    QMetaObject::invokeMethod(reporter, "message", Qt::AutoConnection, Q_ARG(QString, text));
}

void RollbackDataList::add(const RollbackData& entry)
{
    entries.append(entry);
}

void RollbackDataList::appendList(const RollbackDataList& other)
{
    entries.append(other.entries);
}

void RollbackDataList::clear()
{
    entries.clear();
}

bool RollbackDataList::rollback(QObject* reporter)
{
    bool result = true;
    while (!entries.isEmpty()) {
        if (!entries.takeLast().rollback(reporter))
            result = false;
    }
    return result;
}
