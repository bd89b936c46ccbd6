#include "publishio.h"

#include "commands.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
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

namespace {
// Length of the DER structure at the start of data (tag, length, content), 0 when the
// header itself is not a SEQUENCE with a definite length.
qint64 derLength(const QByteArray& data)
{
    if (data.size() < 2 || quint8(data.at(0)) != 0x30)
        return 0;
    const quint8 first = quint8(data.at(1));
    if (first < 0x80)
        return 2 + first;
    const int count = first & 0x7f;
    if (count == 0 || count > 4 || data.size() < 2 + count)
        return 0;
    qint64 length = 0;
    for (int i = 0; i < count; ++i)
        length = (length << 8) | quint8(data.at(2 + i));
    return 2 + count + length;
}

// A private key whose numbers were damaged still imports; it shows when it signs.
bool signsAndVerifies(Rsa_key* key)
{
    const QByteArray digest = QCryptographicHash::hash("key check", QCryptographicHash::Sha1);
    unsigned char sig[1024];
    unsigned long length = sizeof sig;
    try {
        sign_digest(key, reinterpret_cast<const unsigned char*>(digest.constData()), sig, &length);
        return verify_digest(key, reinterpret_cast<const unsigned char*>(digest.constData()), sig, length);
    } catch (const crypt_exception&) {
        return false;
    }
}
}

bool loadKeyFile(const QString& path, Rsa_key* key)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        fail(ExitUsage, QStringLiteral("cannot read key file %1: %2").arg(path, file.errorString()));
        return false;
    }
    // As load_key: the first 2048 bytes, zero-padded.
    QByteArray data = file.read(2048);
    const qint64 size = data.size();
    data.append(QByteArray(2048 - data.size(), '\0'));
    const qint64 needed = derLength(data);
    QString reason;
    if (needed > size) {
        reason = QStringLiteral("the key is cut short (%1 of its %2 bytes)").arg(size).arg(needed);
    } else {
        try {
            load_key(key, reinterpret_cast<const unsigned char*>(data.constData()), 2048);
            if (key->type == PK_PRIVATE && !signsAndVerifies(key)) {
                rsa_free(key);
                reason = QStringLiteral("the private key does not verify its own signature");
            }
        } catch (const crypt_exception& e) {
            reason = QString::fromUtf8(e.what());
        }
    }
    if (reason.isEmpty())
        return true;
    fail(ExitUsage, QStringLiteral("%1 is not a usable key file: %2").arg(path, reason));
    return false;
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

bool readSmallFile(const QString& path, QByteArray& data, qint64 maxSize)
{
    QFile file(path);
    if (file.open(QIODevice::ReadOnly)) {
        data = file.read(maxSize + 1);
        if (data.size() > maxSize) {
            fail(ExitFailed, QStringLiteral("%1 is larger than %2 bytes").arg(path).arg(maxSize));
            return false;
        }
        if (file.error() == QFileDevice::NoError)
            return true;
    }
    fail(ExitFailed, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    return false;
}

bool sha1OfFile(const QString& path, QByteArray& digest)
{
    QFile file(path);
    QCryptographicHash hash(QCryptographicHash::Sha1);
    if (file.open(QIODevice::ReadOnly)) {
        QByteArray buffer(1 << 20, Qt::Uninitialized);
        qint64 got = 0;
        while ((got = file.read(buffer.data(), buffer.size())) > 0)
            hash.addData(QByteArrayView(buffer.constData(), got));
        if (got == 0) {
            digest = hash.result();
            return true;
        }
    }
    fail(ExitFailed, QStringLiteral("cannot read %1: %2").arg(path, file.errorString()));
    return false;
}

bool checkVersionAndType(const QString& version, const QString& type, QString& error)
{
    static const QRegularExpression number(QStringLiteral("^[1-9][0-9]{0,8}$"));
    static const QRegularExpression typeName(QStringLiteral("^[A-Za-z0-9_][A-Za-z0-9_.-]*$"));
    if (!number.match(version).hasMatch())
        error = QStringLiteral("--version \"%1\" is not a build number (1 to 999999999)").arg(version);
    else if (!typeName.match(type).hasMatch())
        error = QStringLiteral("--type \"%1\" is not a client type (letters, digits, \"_\", \".\", \"-\")").arg(type);
    return error.isEmpty();
}
