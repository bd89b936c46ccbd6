#include "update/checksignaturetaskspecification.h"

#include "update/publickey.h"
#include "update/tomcryptutil.h"

#include <QCryptographicHash>
#include <QFile>

#include <memory>

namespace {

// Product files can be gigabytes: they are hashed in pieces of this size.
constexpr qint64 kHashChunkSize = 1 << 20;

QString couldNotOpen(const QString& path)
{
    return QStringLiteral("Could not open file %1 for reading").arg(path);
}

QString couldNotRead(const QString& path)
{
    return QStringLiteral("could not read file %1 correctly").arg(path);
}

QString reasonLine(const QFile& file)
{
    return QStringLiteral("Reason: %1").arg(file.errorString());
}

} // namespace

CheckSigFunc::CheckSigFunc(const QString& filePath, const QString& md5Sum)
    : filePath(filePath)
    , md5Sum(md5Sum)
{
}

bool CheckSigFunc::run()
{
    return md5Sum.isEmpty() ? checkRSA() : checkMD5();
}

bool CheckSigFunc::readFile(const QString& path, QByteArray& data)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        Q_EMIT message(couldNotOpen(path));
        Q_EMIT message(reasonLine(file));
        return false;
    }
    const qint64 size = file.size();
    data.resize(size);
    if (file.read(data.data(), size) != size) {
        Q_EMIT message(couldNotRead(path));
        return false;
    }
    return true;
}

bool CheckSigFunc::checkMD5()
{
    QFile file(filePath);
    // Unbuffered: the chunks are large, and QFile's own buffer would only add a copy.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        Q_EMIT message(couldNotOpen(filePath));
        Q_EMIT message(reasonLine(file));
        return false;
    }
    const qint64 size = file.size();
    QCryptographicHash hash(QCryptographicHash::Md5);
    // Small files, the common case of an up-to-date installation, get a small buffer.
    const qint64 bufferSize = qBound<qint64>(1, size, kHashChunkSize);
    const std::unique_ptr<char[]> buffer(new char[bufferSize]);
    qint64 done = 0;
    while (done < size) {
        const qint64 got = file.read(buffer.get(), qMin(bufferSize, size - done));
        if (got <= 0)
            break;
        hash.addData(QByteArrayView(buffer.get(), got));
        done += got;
    }
    if (done != size) {
        Q_EMIT message(couldNotRead(filePath));
        return false;
    }
    const QString actual = QString::fromLatin1(hash.result().toHex());
    return md5Sum.compare(actual, Qt::CaseInsensitive) == 0;
}

bool CheckSigFunc::checkRSA()
{
    QByteArray data;
    if (!readFile(filePath, data))
        return false;
    QByteArray signature;
    if (!readFile(filePath + QStringLiteral(".sig"), signature))
        return false;

    Rsa_key key;
    try {
        load_key(&key, PUBLIC_KEY, PUBLIC_KEY_SIZE);
    } catch (const crypt_exception&) {
        return false;
    }
    bool valid = false;
    try {
        valid = verify_msg(&key, reinterpret_cast<const unsigned char*>(data.constData()),
                           static_cast<unsigned long>(data.size()),
                           reinterpret_cast<unsigned char*>(signature.data()),
                           static_cast<unsigned long>(signature.size()));
    } catch (const crypt_exception&) {
        valid = false;
    }
    rsa_free(&key);
    return valid;
}

CheckSignatureTaskSpecification::CheckSignatureTaskSpecification(QString filePath, QString md5Sum,
                                                                 bool cancelOnFailure, QObject* parent,
                                                                 double parentProgressRange)
    : ASyncTaskSpecification(parent, parentProgressRange)
    , filePath(std::move(filePath))
    , md5Sum(std::move(md5Sum))
    , cancelOnFailure(cancelOnFailure)
{
}

void CheckSignatureTaskSpecification::execute()
{
    if (md5Sum.isEmpty() || writtenMd5.isEmpty()) {
        ASyncTaskSpecification::execute();
        return;
    }
    state = StateRunning;
    runDone(md5Sum.compare(writtenMd5, Qt::CaseInsensitive) == 0);
}

void CheckSignatureTaskSpecification::reset()
{
    writtenMd5.clear();
    ASyncTaskSpecification::reset();
}

ASyncFunc* CheckSignatureTaskSpecification::createFunction()
{
    return new CheckSigFunc(filePath, md5Sum);
}

void CheckSignatureTaskSpecification::runDone(bool pass)
{
    if (state != StateRunning)
        return;
    if (pass) {
        Q_EMIT checkDone(true, this);
        finish();
        return;
    }
    Q_EMIT message(QStringLiteral("Signature check failed for %1").arg(filePath));
    Q_EMIT checkDone(false, this);
    if (cancelOnFailure)
        errorCancel();
    else
        finish();
}
