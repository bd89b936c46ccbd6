#include "publishio.h"

#include "commands.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QTemporaryFile>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

int fail(int code, const QString& text)
{
    std::fprintf(stderr, "quorvel-publish: %s\n", qPrintable(text));
    return code;
}

bool loadKeyFile(const QString& path, Rsa_key* key)
{
    // load_key turns a missing file into an import error; say what really happened.
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        fail(ExitUsage, QStringLiteral("cannot read key file %1: %2").arg(path, file.errorString()));
        return false;
    }
    file.close();
    try {
        load_key(key, QFile::encodeName(path).constData());
    } catch (const crypt_exception& e) {
        fail(ExitUsage, QStringLiteral("%1 is not a usable key file: %2").arg(path, QString::fromUtf8(e.what())));
        return false;
    }
    return true;
}

void saveKeyFile(Rsa_key* key, int type, const QString& path, bool overwrite)
{
    const QFileInfo target(path);
    QTemporaryFile temp(target.absolutePath() + QStringLiteral("/.") + target.fileName() + QStringLiteral(".XXXXXX"));
    if (!temp.open())
        throw crypt_exception(("Cannot open file for writing: " + QFile::encodeName(path)).toStdString());
    temp.close();
    const QByteArray tempName = QFile::encodeName(temp.fileName());
    const QByteArray targetName = QFile::encodeName(target.absoluteFilePath());
    save_key(key, type, tempName.constData());
    if (type == PK_PUBLIC)
        temp.setPermissions(temp.permissions() | QFile::ReadGroup | QFile::ReadOther);
    // link() refuses an existing target, so nothing is overwritten without --force even if
    // the file appeared after the caller's check. The temporary name goes with `temp`.
    const int result = overwrite ? std::rename(tempName.constData(), targetName.constData())
                                 : ::link(tempName.constData(), targetName.constData());
    if (result != 0) {
        throw crypt_exception(errno == EEXIST
                                  ? "File exists: " + targetName.toStdString()
                                  : "Cannot write file: " + targetName.toStdString() + ": " + std::strerror(errno));
    }
}

bool writeWholeFile(const QString& path, const QByteArray& data)
{
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(data) != data.size() || !file.commit()) {
        fail(ExitFailed, QStringLiteral("cannot write %1: %2").arg(path, file.errorString()));
        return false;
    }
    return true;
}

bool readWholeFile(const QString& path, QByteArray& data)
{
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        data = file.readAll();
        if (file.error() == QFileDevice::NoError)
            return true;
    }
    fail(ExitFailed, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    return false;
}
