#include "update/storagecheck.h"

#include "update/filespecifications.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QLocale>
#include <QSet>
#include <QStringList>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace StorageCheck {

namespace {
qint64 availableOverride = -1;

QString size(qint64 bytes)
{
    return QStringLiteral("%1 (%2 bytes)").arg(QLocale::c().formattedDataSize(bytes, 1)).arg(bytes);
}

// The directory a file at path will be created in, or the nearest one above it that
// exists: the install creates the rest, and reports a file in the way itself.
QString existingDirectoryFor(const QString& path)
{
    QFileInfo info(QFileInfo(path).absolutePath());
    while (!info.isDir() && !info.isRoot())
        info = QFileInfo(info.absolutePath());
    return info.absoluteFilePath();
}

// Empty when the directory may be written, else the reason.
QString writeProblem(const QString& directory)
{
    if (::access(QFile::encodeName(directory).constData(), W_OK | X_OK) == 0)
        return {};
    return QStringLiteral("Cannot write into %1: %2").arg(directory, QString::fromLocal8Bit(std::strerror(errno)));
}

bool device(const QString& path, dev_t& id)
{
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return false;
    id = info.st_dev;
    return true;
}
}

qint64 withMargin(qint64 bytes)
{
    return bytes + bytes / 20 + (qint64(1) << 20);
}

qint64 availableBytes(const QString& path)
{
    if (availableOverride >= 0)
        return availableOverride;
    struct statvfs info;
    if (::statvfs(QFile::encodeName(path).constData(), &info) != 0)
        return -1;
    return qint64(info.f_bavail) * qint64(info.f_frsize);
}

void setAvailableBytesOverride(qint64 bytes)
{
    availableOverride = bytes;
}

QString check(const FileSpecifications& lists, const QString& installRoot, const QString& workingDir)
{
    // Looked up once per directory of the lists, not once per file.
    QHash<QString, QString> existing;
    const auto existingDirectory = [&existing](const QString& path) -> const QString& {
        const QString parent = path.left(path.lastIndexOf(QLatin1Char('/')));
        auto it = existing.find(parent);
        if (it == existing.end())
            it = existing.insert(parent, existingDirectoryFor(path));
        return *it;
    };
    qint64 downloadBytes = 0;
    QHash<QString, qint64> downloadSizes;
    QSet<QString> checked;
    for (const FileDownloadSpecification& item : lists.downloadList) {
        downloadBytes += item.size;
        downloadSizes.insert(item.filePath, item.size);
        const QString directory = existingDirectory(workingDir + QLatin1Char('/') + item.filePath);
        if (!checked.contains(directory)) {
            checked.insert(directory);
            const QString problem = writeProblem(directory);
            if (!problem.isEmpty())
                return problem;
        }
    }
    qint64 installBytes = 0;
    for (const FileReplaceSpecification& item : lists.replaceList) {
        if (item.hasUnzip())
            installBytes += qint64(item.unzipSize);
        else if (downloadSizes.contains(item.filePath))
            installBytes += downloadSizes.value(item.filePath);
        else // downloaded by an interrupted run
            installBytes += QFileInfo(workingDir + QLatin1Char('/') + item.filePath).size();
        const QString directory = existingDirectory(installRoot + QLatin1Char('/') + item.pureDestFilePath());
        if (!checked.contains(directory)) {
            checked.insert(directory);
            const QString problem = writeProblem(directory);
            if (!problem.isEmpty())
                return problem;
        }
    }

    struct Place
    {
        QString name;
        QString path;
        qint64 bytes;
    };
    QList<Place> places{{installRoot, installRoot, installBytes}};
    dev_t rootDevice = 0, workDevice = 0;
    if (device(installRoot, rootDevice) && device(workingDir, workDevice) && rootDevice == workDevice) {
        places[0].name = QStringLiteral("%1 and %2").arg(installRoot, workingDir);
        places[0].bytes += downloadBytes;
    } else {
        places.append({workingDir, workingDir, downloadBytes});
    }
    for (const Place& place : std::as_const(places)) {
        if (place.bytes <= 0)
            continue;
        const qint64 needed = withMargin(place.bytes);
        const qint64 available = availableBytes(place.path);
        if (available >= 0 && available < needed)
            return QStringLiteral("Not enough free space in %1: %2 needed, %3 available")
                .arg(place.name, size(needed), size(available));
    }
    return {};
}

}
