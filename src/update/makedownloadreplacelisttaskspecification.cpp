#include "update/makedownloadreplacelisttaskspecification.h"

#include "core/configuration.h"
#include "tasks/safefileops.h"
#include "update/checksignaturetaskspecification.h"

#include <QFileInfo>
#include <QSettings>
#include <QThreadPool>
#include <QVariant>

namespace {
const QString deleteSection = QStringLiteral("delete");

bool matchesMd5(const QString& path, const QString& md5Sum)
{
    return QFileInfo::exists(path) && CheckSigFunc(path, md5Sum).run();
}

// The INI reader turns an unquoted value with commas into a list; a file name may
// contain a comma, so put the text back together.
QString valueText(const QVariant& value)
{
    if (value.userType() == QMetaType::QStringList)
        return value.toStringList().join(QLatin1Char(','));
    return value.toString();
}
}

MakeDownloadReplaceListFunc::MakeDownloadReplaceListFunc(Configuration* configuration, FileSpecifications& lists)
    : configuration(configuration)
    , lists(&lists)
    , workingDir(configuration->tempDir)
    , appRoot(Configuration::getAppRootPath())
    , iniPath(configuration->tempDir + QLatin1Char('/') + configuration->clientType + QStringLiteral(".ini"))
{
}

bool MakeDownloadReplaceListFunc::isSafeRelativePath(const QString& path)
{
    if (path.isEmpty())
        return false;
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || c == QLatin1Char('\\'))
            return false;
    }
    // A leading or trailing "/" and "//" show up as empty components.
    const QStringList parts = path.split(QLatin1Char('/'));
    for (const QString& part : parts) {
        if (part.isEmpty() || part == QLatin1String(".") || part == QLatin1String(".."))
            return false;
    }
    return true;
}

int MakeDownloadReplaceListFunc::getFileCount(QSettings& settings)
{
    int count = 0;
    const QStringList sections = settings.childGroups();
    for (const QString& section : sections) {
        settings.beginGroup(section);
        count += settings.allKeys().size();
        settings.endGroup();
    }
    return count;
}

bool MakeDownloadReplaceListFunc::run()
{
    lists->clear();
    Q_EMIT message(QStringLiteral("Compiling download and replace list"));
    QSettings settings(iniPath, QSettings::IniFormat);

    const int total = getFileCount(settings);
    if (total == 0) {
        Q_EMIT message(QStringLiteral("No files in product ini"));
        return false;
    }

    int n = 0;
    const QStringList sections = settings.childGroups();
    for (const QString& section : sections) {
        settings.beginGroup(section);
        // allKeys, not childKeys: a key with "/" in it reads as a nested group.
        const QStringList keys = settings.allKeys();
        for (const QString& key : keys) {
            ++n;
            Q_EMIT progress(qreal(n) / total);
            const bool valid = section == deleteSection
                                   ? addDeleteEntry(key)
                                   : addFileEntry(section, key, valueText(settings.value(key)));
            if (!valid) {
                Q_EMIT message(QStringLiteral("Warning: product ini contains invalid line in section %1").arg(section));
                lists->clear();
                return false;
            }
        }
        settings.endGroup();
    }
    return true;
}

bool MakeDownloadReplaceListFunc::addDeleteEntry(const QString& key)
{
    if (!isSafeRelativePath(key))
        return false;
    if (QFileInfo::exists(appRoot + QLatin1Char('/') + key))
        lists->deleteList.append(key);
    return true;
}

bool MakeDownloadReplaceListFunc::addFileEntry(const QString& section, const QString& key, const QString& value)
{
    const QStringList fields = value.split(QStringLiteral("::"));
    if (fields.size() != 2 && fields.size() != 5)
        return false;

    FileDownloadSpecification download;
    download.section = section;
    download.filePath = key;
    download.md5Sum = fields[0];
    download.size = qint64(fields[1].toULongLong());

    FileReplaceSpecification replace;
    replace.section = section;
    replace.filePath = key;
    if (fields.size() == 5) {
        replace.unzipMd5Sum = fields[2];
        replace.unzipSize = fields[3].toULongLong();
        replace.unzipFilePath = fields[4];
    }
    if (!isSafeRelativePath(key) || (replace.hasUnzip() && !isSafeRelativePath(replace.unzipFilePath)))
        return false;

    const QString installedPath = appRoot + QLatin1Char('/') + replace.destFileName(QString());
    const QString installedMd5 = replace.hasUnzip() ? replace.unzipMd5Sum : download.md5Sum;
    if (matchesMd5(installedPath, installedMd5)) {
        // An update killed after installing this file left the old copy behind; special
        // files keep theirs until the next start.
        const QString old = replace.oldDestFileName();
        if (SafeFileOps::entryExists(appRoot + QLatin1Char('/') + old)
            && !Configuration::getSpecialFileNames().contains(QFileInfo(replace.pureDestFilePath()).fileName()))
            lists->deleteList.append(old);
        return true;
    }

    lists->replaceList.append(replace);
    if (!matchesMd5(workingDir + QLatin1Char('/') + key, download.md5Sum))
        lists->downloadList.append(download);
    return true;
}

MakeDownloadReplaceListTaskSpecification::MakeDownloadReplaceListTaskSpecification(Configuration* configuration,
                                                                                   FileSpecifications& target,
                                                                                   QObject* parent,
                                                                                   double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , configuration(configuration)
    , target(&target)
{
}

MakeDownloadReplaceListTaskSpecification::~MakeDownloadReplaceListTaskSpecification()
{
    // The worker writes into our own record; it must not outlive it.
    if (state == StateRunning)
        QThreadPool::globalInstance()->waitForDone();
}

ASyncFunc* MakeDownloadReplaceListTaskSpecification::createFunction()
{
    return new MakeDownloadReplaceListFunc(configuration, lists);
}

void MakeDownloadReplaceListTaskSpecification::runDone(bool ok)
{
    if (ok && state == StateRunning) {
        target->downloadList = lists.downloadList;
        target->replaceList = lists.replaceList;
        target->deleteList = lists.deleteList;
    }
    ASyncTaskSpecification::runDone(ok);
}
