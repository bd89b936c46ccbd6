#include "commands.h"
#include "publishio.h"
#include "releasefiles.h"

#include "core/configuration.h"
#include "update/makedownloadreplacelisttaskspecification.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QTemporaryDir>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>

namespace {

const QString plainSection = QStringLiteral("files");
const QString gzipSection = QStringLiteral("gzip");
const QString deleteSection = QStringLiteral("delete");

struct Options
{
    QString keyPath;
    QString version;
    QString type = QStringLiteral("client_linux_amd64");
    QString changelog;
    QString previous;
    bool allowSpecial = false;
    QString releaseDir;
    QString mirrorRoot;
};

bool parseOptions(const QStringList& args, Options& options, QString& error)
{
    QStringList positional;
    for (int i = 0; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--allow-special")) {
            options.allowSpecial = true;
            continue;
        }
        QString* target = arg == QLatin1String("--key")         ? &options.keyPath
                          : arg == QLatin1String("--version")   ? &options.version
                          : arg == QLatin1String("--type")      ? &options.type
                          : arg == QLatin1String("--changelog") ? &options.changelog
                          : arg == QLatin1String("--previous")  ? &options.previous
                                                                : nullptr;
        if (target) {
            if (i + 1 >= args.size()) {
                error = QStringLiteral("%1 needs a value").arg(arg);
                return false;
            }
            *target = args.at(++i);
        } else if (arg.startsWith(QLatin1String("--"))) {
            error = QStringLiteral("unknown option %1").arg(arg);
            return false;
        } else {
            positional.append(arg);
        }
    }
    if (positional.size() != 2 || options.keyPath.isEmpty() || options.version.isEmpty()) {
        error = QStringLiteral("release needs --key, --version, RELEASE_DIR and MIRROR_ROOT");
        return false;
    }
    if (!checkVersionAndType(options.version, options.type, error))
        return false;
    options.releaseDir = positional.at(0);
    options.mirrorRoot = positional.at(1);
    return true;
}

// Why the updater could not install this file of a release, or an empty text.
QString refusal(const QString& path, const Options& options)
{
    if (!MakeDownloadReplaceListFunc::isSafeRelativePath(path))
        return QStringLiteral("\"%1\": the updater cannot read this name (control character or backslash)").arg(path);
    const QString name = QFileInfo(path).fileName();
    const QStringList special = Configuration::getSpecialFileNames();
    if (name.startsWith(Configuration::getSpecialFileRenamePrefix())
        && special.contains(name.mid(Configuration::getSpecialFileRenamePrefix().size())))
        return QStringLiteral("\"%1\": the updater keeps the previous copy of a special file under this name").arg(path);
    // The product ini and its signature are downloaded into the same working folder.
    const QString ini = options.type + QStringLiteral(".ini");
    if (path == ini || path == ini + QStringLiteral(".sig"))
        return QStringLiteral("\"%1\" would collide with the product ini in the updater's working folder").arg(path);
    if (!options.allowSpecial
        && (special.contains(name) || path == QLatin1String("update.ini") || path == QLatin1String("mirrors.ini")))
        return QStringLiteral("\"%1\" is one of the updater's own files; --allow-special publishes it").arg(path);
    return QString();
}

QString entryValue(const PublishedFile& file, const QString& path)
{
    if (file.gzipMd5.isEmpty())
        return QStringLiteral("%1::%2").arg(QString::fromLatin1(file.md5)).arg(file.size);
    return QStringLiteral("%1::%2::%3::%4::%5")
        .arg(QString::fromLatin1(file.gzipMd5))
        .arg(file.gzipSize)
        .arg(QString::fromLatin1(file.md5))
        .arg(file.size)
        .arg(path);
}

// section -> key -> value, as the product ini must read back.
using IniContent = QMap<QString, QMap<QString, QString>>;

// executables: installed paths of the programs, kept outside every section.
bool writeIni(const QString& path, const IniContent& content, const QStringList& executables, QString& error)
{
    const QString executablesKey = MakeDownloadReplaceListFunc::executablesKey();
    {
        QSettings ini(path, QSettings::IniFormat);
        if (!executables.isEmpty())
            ini.setValue(executablesKey, executables);
        for (auto section = content.cbegin(); section != content.cend(); ++section) {
            ini.beginGroup(section.key());
            for (auto entry = section->cbegin(); entry != section->cend(); ++entry)
                ini.setValue(entry.key(), entry.value());
            ini.endGroup();
        }
        ini.sync();
        if (ini.status() != QSettings::NoError) {
            error = QStringLiteral("cannot write %1").arg(path);
            return false;
        }
    }
    // Read back as the updater reads it: every key, nothing else, each value unchanged.
    QSettings ini(path, QSettings::IniFormat);
    if (ini.value(executablesKey).toStringList() != executables) {
        error = QStringLiteral("the names of the executable files do not read back from the product ini as written");
        return false;
    }
    for (auto section = content.cbegin(); section != content.cend(); ++section) {
        ini.beginGroup(section.key());
        const QStringList keys = ini.allKeys();
        const QSet<QString> found(keys.cbegin(), keys.cend());
        for (auto entry = section->cbegin(); entry != section->cend(); ++entry) {
            const QVariant value = ini.value(entry.key());
            const QString text = value.userType() == QMetaType::QStringList ? value.toStringList().join(QLatin1Char(','))
                                                                             : value.toString();
            if (!found.contains(entry.key()) || (section.key() != deleteSection && text != entry.value())) {
                error = QStringLiteral("\"%1\" does not read back from the product ini as written").arg(entry.key());
                return false;
            }
        }
        if (keys.size() != section->size()) {
            error = QStringLiteral("names in [%1] collide in the product ini").arg(section.key());
            return false;
        }
        ini.endGroup();
    }
    return true;
}

bool copyWhole(const QString& source, const QString& target, QString& error)
{
    QFile file(source);
    if (!file.copy(target)) {
        error = QStringLiteral("cannot copy %1 to %2: %3").arg(source, target, file.errorString());
        return false;
    }
    return true;
}

struct Release
{
    Options options;
    QStringList files;
    QStringList executables; // the files with an execute bit in the release folder
    QStringList deletions;
};

bool isExecutable(const QString& path)
{
    return QFileInfo(path).permissions() & (QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther);
}

bool plan(Release& release, QString& error)
{
    const Options& options = release.options;
    if (!listReleaseFiles(options.releaseDir, release.files, error))
        return false;
    for (const QString& path : release.files) {
        error = refusal(path, options);
        if (!error.isEmpty())
            return false;
        if (isExecutable(options.releaseDir + QLatin1Char('/') + path))
            release.executables.append(path);
    }
    if (!options.previous.isEmpty()) {
        QStringList installed;
        QStringList deleted;
        if (!listPreviousRelease(options.previous, installed, deleted, error))
            return false;
        // Earlier deletions stay in the list, so an update that skips versions deletes them too.
        const QSet<QString> current(release.files.cbegin(), release.files.cend());
        QSet<QString> seen;
        for (const QString& path : installed + deleted) {
            if (!current.contains(path) && !seen.contains(path)) {
                seen.insert(path);
                release.deletions.append(path);
            }
        }
    }
    if (release.files.isEmpty() && release.deletions.isEmpty()) {
        error = QStringLiteral("the release folder %1 holds no files").arg(options.releaseDir);
        return false;
    }
    if (!options.changelog.isEmpty() && !QFileInfo(options.changelog).isFile()) {
        error = QStringLiteral("cannot read the change log %1").arg(options.changelog);
        return false;
    }
    // Names are checked against the reader before any data is copied.
    IniContent names;
    for (const QString& path : release.files)
        names[plainSection][path] = QStringLiteral("0::0");
    for (const QString& path : release.deletions)
        names[deleteSection][path] = QString();
    QTemporaryDir scratch;
    return scratch.isValid()
           && writeIni(scratch.filePath(QStringLiteral("names.ini")), names, release.executables, error);
}

// Writes everything into staging; the caller moves it into place.
bool build(const Release& release, Rsa_key* key, const QString& staging, QString& error)
{
    const Options& options = release.options;
    quint64 totalBytes = 0;
    for (const QString& path : release.files)
        totalBytes += quint64(QFileInfo(options.releaseDir + QLatin1Char('/') + path).size());
    IniContent content;
    {
        Progress progress(int(release.files.size()), totalBytes);
        for (const QString& path : release.files) {
            PublishedFile published;
            // A name with "::" would split the 5-field value; such a file goes out plain.
            const bool mayCompress = !path.contains(QLatin1String("::"));
            if (!publishFile(options.releaseDir + QLatin1Char('/') + path,
                             staging + QLatin1Char('/') + plainSection + QLatin1Char('/') + path,
                             staging + QLatin1Char('/') + gzipSection + QLatin1Char('/') + path, mayCompress,
                             published, progress, error))
                return false;
            content[published.gzipMd5.isEmpty() ? plainSection : gzipSection][path] = entryValue(published, path);
            progress.fileDone();
        }
    }
    for (const QString& path : release.deletions)
        content[deleteSection][path] = QString();
    const QString iniPath = staging + QLatin1Char('/') + options.type + QStringLiteral(".ini");
    if (!writeIni(iniPath, content, release.executables, error))
        return false;
    if (signFile(key, options.keyPath, iniPath) != ExitOk) {
        error.clear(); // signFile has reported it
        return false;
    }
    return options.changelog.isEmpty()
           || copyWhole(options.changelog, staging + QStringLiteral("/changelog_client.txt"), error);
}

} // namespace

// release --key PRIVATE --version N [--type T] [--changelog FILE] [--previous OLD] [--allow-special] RELEASE_DIR MIRROR_ROOT
int releaseCommand(const QStringList& args)
{
    Release release;
    QString error;
    if (!parseOptions(args, release.options, error))
        return fail(ExitUsage, error + QStringLiteral(" (see release --help)"));
    const Options& options = release.options;

    Rsa_key key;
    if (!loadKeyFile(options.keyPath, &key))
        return ExitUsage;
    if (key.type != PK_PRIVATE) {
        rsa_free(&key);
        return fail(ExitUsage, QStringLiteral("%1 holds no private key").arg(options.keyPath));
    }

    const QString target = QDir(options.mirrorRoot).absoluteFilePath(options.version);
    int code = ExitOk;
    if (QFileInfo::exists(target)) {
        code = fail(ExitFailed, QStringLiteral("%1 exists; a published version is never rewritten").arg(target));
    } else if (!plan(release, error)) {
        code = fail(ExitFailed, error);
    } else if (!QDir().mkpath(options.mirrorRoot)) {
        code = fail(ExitFailed, QStringLiteral("cannot create %1: %2")
                                    .arg(options.mirrorRoot, QString::fromLocal8Bit(std::strerror(errno))));
    } else {
        // Built beside its final place and renamed at once: mirrors never see half a version.
        QTemporaryDir staging(QDir(options.mirrorRoot).absoluteFilePath(QStringLiteral(".%1.publishing-XXXXXX").arg(options.version)));
        if (!staging.isValid()) {
            code = fail(ExitFailed,
                        QStringLiteral("cannot write into %1: %2").arg(options.mirrorRoot, staging.errorString()));
        } else if (!build(release, &key, staging.path(), error)) {
            code = error.isEmpty() ? ExitFailed : fail(ExitFailed, error);
        } else if (::renameat2(AT_FDCWD, QFile::encodeName(staging.path()).constData(), AT_FDCWD,
                               QFile::encodeName(target).constData(), RENAME_NOREPLACE) != 0) {
            code = fail(ExitFailed, QStringLiteral("cannot move the release to %1: %2").arg(target, QString::fromLocal8Bit(std::strerror(errno))));
        } else {
            staging.setAutoRemove(false);
            QFile::setPermissions(target, QFile::permissions(target) | QFile::ReadGroup | QFile::ExeGroup
                                              | QFile::ReadOther | QFile::ExeOther);
            std::printf("%s: version %s of %s, %lld files, %lld to delete\n", qPrintable(target),
                        qPrintable(options.version), qPrintable(options.type),
                        static_cast<long long>(release.files.size()), static_cast<long long>(release.deletions.size()));
        }
    }
    rsa_free(&key);
    return code;
}
