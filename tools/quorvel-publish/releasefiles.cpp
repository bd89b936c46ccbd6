#include "releasefiles.h"

#include "update/makedownloadreplacelisttaskspecification.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <unistd.h>
#include <zlib.h>

namespace {

bool isInside(const QString& path, const QString& root)
{
    return path == root || path.startsWith(root + QLatin1Char('/'));
}

// The names in a folder, sorted, as the bytes they are. readdir, not QDir: QDir leaves out
// names that are not UTF-8, and they must be refused.
bool readNames(const QString& dirPath, QList<QByteArray>& rawNames, QString& error)
{
    DIR* dir = ::opendir(QFile::encodeName(dirPath).constData());
    if (!dir) {
        error = QStringLiteral("cannot read the folder %1").arg(dirPath);
        return false;
    }
    while (const dirent* item = ::readdir(dir)) {
        const QByteArray raw(item->d_name);
        if (raw != "." && raw != "..")
            rawNames.append(raw);
    }
    ::closedir(dir);
    std::sort(rawNames.begin(), rawNames.end());
    return true;
}

// Why a symbolic link cannot be published (it leads nowhere or out), or an empty text.
QString linkProblem(const QFileInfo& entry, const QString& target, const QString& name, const QString& canonicalRoot)
{
    if (!entry.isSymLink())
        return QString();
    if (target.isEmpty())
        return QStringLiteral("\"%1\" is a symbolic link that leads nowhere").arg(name);
    if (!isInside(target, canonicalRoot))
        return QStringLiteral("\"%1\" is a symbolic link that leads out of the release folder").arg(name);
    return QString();
}

// canonicalRoot: the release folder with links resolved; stack: directories being walked, to
// refuse a link back up the tree.
bool walk(const QString& dirPath, const QString& relative, const QString& canonicalRoot, QStringList& stack,
          QStringList& files, QString& error)
{
    QList<QByteArray> rawNames;
    if (!readNames(dirPath, rawNames, error))
        return false;
    for (const QByteArray& raw : rawNames) {
        const QString fileName = QFile::decodeName(raw);
        const QString name = relative.isEmpty() ? fileName : relative + QLatin1Char('/') + fileName;
        if (QFile::encodeName(fileName) != raw) {
            error = QStringLiteral("\"%1\": the name is not valid UTF-8")
                        .arg(QString::fromLatin1(raw.toPercentEncoding("/", QByteArray(), '%')));
            return false;
        }
        const QFileInfo entry(dirPath + QLatin1Char('/') + fileName);
        const QString target = entry.canonicalFilePath();
        error = linkProblem(entry, target, name, canonicalRoot);
        if (!error.isEmpty())
            return false;
        if (entry.isDir()) {
            if (stack.contains(target)) {
                error = QStringLiteral("\"%1\" is a symbolic link back into its own folder").arg(name);
                return false;
            }
            stack.append(target);
            if (!walk(entry.absoluteFilePath(), name, canonicalRoot, stack, files, error))
                return false;
            stack.removeLast();
        } else if (entry.isFile()) {
            files.append(name);
        } else {
            error = QStringLiteral("\"%1\" is not a regular file").arg(name);
            return false;
        }
    }
    return true;
}

// The path as the installation uses it; false when it climbs out or cannot be read.
bool checkInstalledPath(const QString& path, const QString& where, QString& error)
{
    if (path.startsWith(QLatin1Char('/')) || path == QLatin1String("..") || path.startsWith(QLatin1String("../"))
        || path.contains(QLatin1String("/../")) || path.endsWith(QLatin1String("/.."))) {
        error = QStringLiteral("%1 names \"%2\", a path that climbs out of the installation").arg(where, path);
        return false;
    }
    if (!MakeDownloadReplaceListFunc::isSafeRelativePath(path)) {
        error = QStringLiteral("%1 names \"%2\", which the updater cannot read").arg(where, path);
        return false;
    }
    return true;
}

class Md5Writer
{
public:
    bool open(const QString& path)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        file.setFileName(path);
        return file.open(QIODevice::WriteOnly | QIODevice::Truncate);
    }
    bool write(const char* data, qint64 size)
    {
        hash.addData(QByteArrayView(data, size));
        written += quint64(size);
        return file.write(data, size) == size;
    }
    bool close()
    {
        file.close();
        return file.error() == QFileDevice::NoError;
    }
    QString errorString() const { return file.errorString(); }

    QFile file;
    QCryptographicHash hash{QCryptographicHash::Md5};
    quint64 written = 0;
};

// progress: null when the bytes were counted already.
bool copyPlain(const QString& source, const QString& target, PublishedFile& result, Progress* progress,
               QString& error)
{
    QFile in(source);
    Md5Writer out;
    if (!in.open(QIODevice::ReadOnly) || !out.open(target)) {
        error = QStringLiteral("cannot copy %1 to %2: %3").arg(source, target, in.isOpen() ? out.errorString() : in.errorString());
        return false;
    }
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 got = 0;
    while ((got = in.read(buffer.data(), buffer.size())) > 0) {
        if (!out.write(buffer.constData(), got))
            break;
        if (progress)
            progress->add(quint64(got));
    }
    if (got != 0 || !out.close()) {
        error = QStringLiteral("cannot copy %1 to %2: %3").arg(source, target, got != 0 ? in.errorString() : out.errorString());
        return false;
    }
    result.md5 = out.hash.result().toHex();
    result.size = out.written;
    return true;
}

// Runs what the stream holds through deflate into out; false when out cannot take it.
bool deflateInto(z_stream& stream, int flush, QByteArray& packed, Md5Writer& out)
{
    int status = Z_OK;
    do {
        stream.next_out = reinterpret_cast<Bytef*>(packed.data());
        stream.avail_out = uInt(packed.size());
        status = deflate(&stream, flush);
        if (!out.write(packed.constData(), packed.size() - qint64(stream.avail_out)))
            return false;
    } while (stream.avail_out == 0 && status != Z_STREAM_END);
    return true;
}

// Writes in gzip-compressed to out; the plain file's MD5 and size go into result. On a write
// error `error` stays empty: the caller names out's error.
bool compress(QFile& in, Md5Writer& out, PublishedFile& result, Progress& progress, QString& error)
{
    z_stream stream = {};
    // 15 + 16: a gzip header and trailer, which the updater's gzip reader expects.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return false;
    QCryptographicHash plainHash(QCryptographicHash::Md5);
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    QByteArray packed(1 << 20, Qt::Uninitialized);
    bool ok = true;
    for (qint64 got = 1; ok && got > 0;) {
        got = in.read(buffer.data(), buffer.size());
        if (got < 0) {
            error = QStringLiteral("cannot read %1: %2").arg(in.fileName(), in.errorString());
            ok = false;
            break;
        }
        plainHash.addData(QByteArrayView(buffer.constData(), got));
        result.size += quint64(got);
        progress.add(quint64(got));
        stream.next_in = reinterpret_cast<Bytef*>(buffer.data());
        stream.avail_in = uInt(got);
        ok = deflateInto(stream, got == 0 ? Z_FINISH : Z_NO_FLUSH, packed, out);
    }
    result.md5 = plainHash.result().toHex();
    deflateEnd(&stream);
    return ok;
}

} // namespace

bool listReleaseFiles(const QString& root, QStringList& files, QString& error)
{
    const QString canonicalRoot = QFileInfo(root).canonicalFilePath();
    if (canonicalRoot.isEmpty() || !QFileInfo(canonicalRoot).isDir()) {
        error = QStringLiteral("the release folder %1 does not exist").arg(root);
        return false;
    }
    QStringList stack{canonicalRoot};
    files.clear();
    return walk(root, QString(), canonicalRoot, stack, files, error);
}

bool listPreviousRelease(const QString& previous, QStringList& installed, QStringList& deleted, QString& error)
{
    const QFileInfo info(previous);
    if (info.isDir())
        return listReleaseFiles(previous, installed, error);
    if (!info.isFile() || !info.isReadable()) {
        error = QStringLiteral("cannot read the previous release %1").arg(previous);
        return false;
    }
    const QString where = QStringLiteral("the previous product ini %1").arg(previous);
    QSettings ini(previous, QSettings::IniFormat);
    if (ini.status() != QSettings::NoError) {
        error = QStringLiteral("cannot read %1").arg(where);
        return false;
    }
    for (const QString& section : ini.childGroups()) {
        ini.beginGroup(section);
        for (const QString& key : ini.allKeys()) {
            QString path = key;
            if (section != QLatin1String("delete")) {
                const QVariant value = ini.value(key);
                const QString text = value.userType() == QMetaType::QStringList
                                         ? value.toStringList().join(QLatin1Char(','))
                                         : value.toString();
                const QStringList fields = text.split(QStringLiteral("::"));
                if (fields.size() == 5 && !fields.at(4).isEmpty())
                    path = fields.at(4);
            }
            if (!checkInstalledPath(path, where, error))
                return false;
            (section == QLatin1String("delete") ? deleted : installed).append(path);
        }
        ini.endGroup();
    }
    return true;
}

Progress::Progress(int files, quint64 bytes)
    : totalFiles(files)
    , totalBytes(bytes)
    , enabled(::isatty(STDERR_FILENO) == 1)
{
}

Progress::~Progress()
{
    if (enabled && lastShown >= 0) {
        show(true);
        std::fputc('\n', stderr);
    }
}

void Progress::add(quint64 count)
{
    bytes += count;
    show(false);
}

void Progress::fileDone()
{
    ++files;
    show(false);
}

void Progress::show(bool force)
{
    if (!enabled)
        return;
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (!force && lastShown >= 0 && now - lastShown < 200)
        return;
    lastShown = now;
    std::fprintf(stderr, "\rquorvel-publish: %d/%d files", files, totalFiles);
    if (totalBytes > 0)
        std::fprintf(stderr, ", %llu/%llu MiB", static_cast<unsigned long long>(qMin(bytes, totalBytes) >> 20),
                     static_cast<unsigned long long>(totalBytes >> 20));
    std::fflush(stderr);
}

bool publishFile(const QString& source, const QString& plainTarget, const QString& gzipTarget, bool mayCompress,
                 PublishedFile& result, Progress& progress, QString& error)
{
    result = PublishedFile();
    if (!mayCompress)
        return copyPlain(source, plainTarget, result, &progress, error);
    QFile in(source);
    if (!in.open(QIODevice::ReadOnly)) {
        error = QStringLiteral("cannot read %1: %2").arg(source, in.errorString());
        return false;
    }
    Md5Writer out;
    if (!out.open(gzipTarget) || !compress(in, out, result, progress, error) || !out.close()) {
        if (error.isEmpty())
            error = QStringLiteral("cannot write %1: %2").arg(gzipTarget, out.errorString());
        return false;
    }
    if (out.written * 10 <= result.size * 9) {
        result.gzipMd5 = out.hash.result().toHex();
        result.gzipSize = out.written;
        return true;
    }
    QFile::remove(gzipTarget);
    return copyPlain(source, plainTarget, result, nullptr, error);
}
