#include "update/makedownloadreplacelisttaskspecification.h"

#include "core/configuration.h"
#include "tasks/safefileops.h"
#include "update/checksignaturetaskspecification.h"
#include "update/storagecheck.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QThread>
#include <QThreadPool>
#include <QVariant>

#include <atomic>
#include <memory>
#include <utility>

#include <cerrno>
#include <fcntl.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

// Each checking thread hashes with its own state and buffer.
struct MakeDownloadReplaceListFunc::Md5Scratch
{
    static constexpr size_t BufferSize = 64 * 1024;
    QCryptographicHash hash{QCryptographicHash::Md5};
    std::unique_ptr<char[]> buffer{new char[BufferSize]};
};

namespace {
using Md5Scratch = MakeDownloadReplaceListFunc::Md5Scratch;

const QString deleteSection = QStringLiteral("delete");

int hexValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// The 16 bytes a hex MD5 stands for, or nothing when it is not 32 hex digits: such a sum
// matches no file.
QByteArray digestOf(const QString& hex)
{
    if (hex.size() != 32)
        return {};
    QByteArray digest(16, Qt::Uninitialized);
    for (int i = 0; i < 16; ++i) {
        const int high = hexValue(hex[2 * i].unicode());
        const int low = hexValue(hex[2 * i + 1].unicode());
        if (high < 0 || low < 0)
            return {};
        digest[i] = char(high << 4 | low);
    }
    return digest;
}

// Plain system calls: an up-to-date installation means thousands of small files, and for
// them a QFile and a file info per file cost more than the hash. Only a regular file can
// match; anything else is not even read (a FIFO would block the open without O_NONBLOCK).
bool fileHasDigest(const QString& path, const QByteArray& digest, Md5Scratch& scratch)
{
    if (digest.isEmpty())
        return false;
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat info;
    bool ok = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    scratch.hash.reset();
    // The size the file had when opened, as the download's check reads it; no read for the end.
    for (off_t left = ok ? info.st_size : 0; left > 0;) {
        const ssize_t got = ::read(fd, scratch.buffer.get(), size_t(qMin<off_t>(left, Md5Scratch::BufferSize)));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            ok = false;
            break;
        }
        scratch.hash.addData(QByteArrayView(scratch.buffer.get(), got));
        left -= got;
    }
    ::close(fd);
    return ok && scratch.hash.resultView() == digest;
}

// A sum left empty asks for the file's RSA signature instead.
bool matches(const QString& path, const QString& md5Sum, const QByteArray& digest, Md5Scratch& scratch)
{
    if (md5Sum.isEmpty())
        return QFileInfo::exists(path) && CheckSigFunc(path, md5Sum).run();
    return fileHasDigest(path, digest, scratch);
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
    , recordPath(ResumeRecord::path(configuration->tempDir, configuration->clientType))
    , version(configuration->clientVersion)
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

QString MakeDownloadReplaceListFunc::executablesKey()
{
    return QStringLiteral("executables");
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
    // Gone before the lists are built: the parsed ini would double the phase's memory.
    auto settings = std::make_unique<QSettings>(iniPath, QSettings::IniFormat);

    const int total = getFileCount(*settings);
    if (total == 0) {
        Q_EMIT message(QStringLiteral("No files in product ini"));
        return false;
    }

    const QStringList executableList = settings->value(executablesKey()).toStringList();
    const QSet<QString> executables(executableList.cbegin(), executableList.cend());
    std::vector<Entry> entries;
    entries.reserve(size_t(total));
    const QStringList sections = settings->childGroups();
    for (const QString& section : sections) {
        settings->beginGroup(section);
        // allKeys, not childKeys: a key with "/" in it reads as a nested group.
        const QStringList keys = settings->allKeys();
        for (const QString& key : keys) {
            Entry entry;
            if (!parseEntry(section, key, valueText(settings->value(key)), entry)) {
                // The progress up to and including the invalid line, as a reader going line by
                // line reports it.
                for (size_t n = 1; n <= entries.size() + 1; ++n)
                    Q_EMIT progress(qreal(n) / total);
                Q_EMIT message(QStringLiteral("Warning: product ini contains invalid line in section %1").arg(section));
                return false;
            }
            entry.replace.executable = !entry.isDelete && executables.contains(entry.replace.pureDestFilePath());
            entries.push_back(std::move(entry));
        }
        settings->endGroup();
    }
    settings.reset();
    recorded = ResumeRecord::read(recordPath, version);
    checkAndAdd(entries, total);
    // Kept to the end of the update: without the reserve they grew with.
    lists->downloadList.squeeze();
    lists->replaceList.squeeze();
    lists->deleteList.squeeze();
    ResumeRecord::write(recordPath, version, lists->downloadList);
    return true;
}

// The MD5 checks, most of the time here, run on every core; the lists are still built and
// the progress still reported in the order of the product ini.
void MakeDownloadReplaceListFunc::checkAndAdd(std::vector<Entry>& entries, int total)
{
    const int count = int(entries.size());
    std::atomic<int> next{0};
    const std::unique_ptr<std::atomic<bool>[]> checked(new std::atomic<bool>[size_t(count)]());
    const auto work = [&] {
        Md5Scratch scratch;
        for (int i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
            checkFiles(entries[size_t(i)], scratch);
            checked[i].store(true, std::memory_order_release);
        }
    };
    int added = 0;
    const auto addChecked = [&] {
        for (; added < count && checked[added].load(std::memory_order_acquire); ++added) {
            addEntry(entries[size_t(added)]);
            Q_EMIT progress(qreal(added + 1) / total);
        }
    };

    QThreadPool helpers;
    const int extra = qMin(QThread::idealThreadCount() - 1, count / 64);
    for (int t = 0; t < extra; ++t)
        helpers.start(work);
    // Progress goes out in bursts: each signal is an event for the GUI thread, which then
    // wakes once per burst instead of once per file.
    Md5Scratch scratch;
    int sinceReport = 0;
    for (int i = next.fetch_add(1); i < count; i = next.fetch_add(1)) {
        checkFiles(entries[size_t(i)], scratch);
        checked[i].store(true, std::memory_order_release);
        if (++sinceReport == 32) {
            addChecked();
            sinceReport = 0;
        }
    }
    helpers.waitForDone();
    addChecked();
    Q_ASSERT(added == count);
}

bool MakeDownloadReplaceListFunc::parseEntry(const QString& section, const QString& key, const QString& value,
                                             Entry& entry) const
{
    if (section == deleteSection) {
        entry.isDelete = true;
        entry.replace.filePath = key;
        return isSafeRelativePath(key);
    }
    const QStringList fields = value.split(QStringLiteral("::"));
    if (fields.size() != 2 && fields.size() != 5)
        return false;

    FileDownloadSpecification& download = entry.download;
    download.section = section;
    download.filePath = key;
    download.md5Sum = fields[0];
    download.size = qint64(fields[1].toULongLong());
    entry.downloadDigest = digestOf(download.md5Sum);

    FileReplaceSpecification& replace = entry.replace;
    replace.section = section;
    replace.filePath = key;
    if (fields.size() == 5) {
        replace.unzipMd5Sum = fields[2];
        replace.unzipSize = fields[3].toULongLong();
        replace.unzipFilePath = fields[4];
    }
    entry.installedDigest = replace.hasUnzip() ? digestOf(replace.unzipMd5Sum) : entry.downloadDigest;
    return isSafeRelativePath(key) && (!replace.hasUnzip() || isSafeRelativePath(replace.unzipFilePath));
}

// Reads files only: safe on any thread.
void MakeDownloadReplaceListFunc::checkFiles(Entry& entry, Md5Scratch& scratch) const
{
    const FileReplaceSpecification& replace = entry.replace;
    if (entry.isDelete) {
        entry.present = QFileInfo::exists(appRoot + QLatin1Char('/') + replace.filePath);
        return;
    }
    const QString installedPath = appRoot + QLatin1Char('/') + replace.pureDestFilePath();
    entry.installedMatches = matches(installedPath, replace.hasUnzip() ? replace.unzipMd5Sum : entry.download.md5Sum,
                                     entry.installedDigest, scratch);
    if (entry.installedMatches)
        entry.oldPresent = SafeFileOps::entryExists(appRoot + QLatin1Char('/') + replace.oldDestFileName());
    else
        checkDownloadedCopy(entry, scratch);
}

// Only a copy of the listed size can be the file. A shorter one is not read: it is either
// continued, when the record lists the file as the product ini does now, or fetched anew.
void MakeDownloadReplaceListFunc::checkDownloadedCopy(Entry& entry, Md5Scratch& scratch) const
{
    FileDownloadSpecification& download = entry.download;
    const QString path = workingDir + QLatin1Char('/') + download.filePath;
    if (download.md5Sum.isEmpty()) {
        entry.downloadedMatches = matches(path, download.md5Sum, entry.downloadDigest, scratch);
        return;
    }
    struct stat info;
    if (::stat(QFile::encodeName(path).constData(), &info) != 0 || !S_ISREG(info.st_mode))
        return;
    if (info.st_size == download.size) {
        entry.downloadedMatches = fileHasDigest(path, entry.downloadDigest, scratch);
        return;
    }
    const auto listed = recorded.constFind(download.filePath);
    if (info.st_size > 0 && info.st_size < download.size && listed != recorded.constEnd()
        && listed->size == download.size && listed->md5Sum == download.md5Sum)
        download.partialSize = info.st_size;
}

void MakeDownloadReplaceListFunc::addEntry(const Entry& entry)
{
    const FileReplaceSpecification& replace = entry.replace;
    if (entry.isDelete) {
        if (entry.present)
            lists->deleteList.append(replace.filePath);
        return;
    }
    if (entry.installedMatches) {
        // An update killed after installing this file left the old copy behind; special
        // files keep theirs until the next start.
        if (entry.oldPresent
            && !Configuration::getSpecialFileNames().contains(QFileInfo(replace.pureDestFilePath()).fileName()))
            lists->deleteList.append(replace.oldDestFileName());
        return;
    }
    lists->replaceList.append(replace);
    if (!entry.downloadedMatches)
        lists->downloadList.append(entry.download);
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
        const QString problem = StorageCheck::check(lists, Configuration::getAppRootPath(), configuration->tempDir);
        if (!problem.isEmpty()) {
            storageFailed = true;
            Q_EMIT error(problem);
            ok = false;
        }
    }
    if (ok && state == StateRunning) {
        // Moved, not shared: a list shared with a copy here would be copied whole by the first
        // loop over it that is not const, tens of thousands of entries on a large release.
        target->downloadList = std::move(lists.downloadList);
        target->replaceList = std::move(lists.replaceList);
        target->deleteList = std::move(lists.deleteList);
    }
    // The parsed product ini and the entries were freed on the worker's heap, where the
    // pages would stay with the process through the downloads and the install.
    malloc_trim(0);
    ASyncTaskSpecification::runDone(ok);
}

void MakeDownloadReplaceListTaskSpecification::reset()
{
    storageFailed = false;
    ASyncTaskSpecification::reset();
}
