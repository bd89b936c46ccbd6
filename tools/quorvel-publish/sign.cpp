#include "commands.h"
#include "publishio.h"

// sign PRIVATE FILE: writes the raw signature to FILE.sig.
int signCommand(const QStringList& args)
{
    if (args.size() != 2)
        return fail(ExitUsage, QStringLiteral("sign needs PRIVATE and FILE (see sign --help)"));
    const QString& keyPath = args.at(0);
    const QString& filePath = args.at(1);

    Rsa_key key;
    if (!loadKeyFile(keyPath, &key))
        return ExitUsage;
    const int code = signFile(&key, keyPath, filePath);
    rsa_free(&key);
    return code;
}

int signFile(Rsa_key* key, const QString& keyPath, const QString& filePath)
{
    if (key->type != PK_PRIVATE)
        return fail(ExitUsage, QStringLiteral("%1 holds no private key").arg(keyPath));
    QByteArray digest;
    if (!sha1OfFile(filePath, digest))
        return ExitFailed;
    QByteArray signature(1024, '\0'); // room for a modulus of up to 8192 bits
    try {
        unsigned long length = static_cast<unsigned long>(signature.size());
        sign_digest(key, reinterpret_cast<const unsigned char*>(digest.constData()),
                    reinterpret_cast<unsigned char*>(signature.data()), &length);
        signature.truncate(static_cast<qsizetype>(length));
    } catch (const crypt_exception& e) {
        return fail(ExitFailed, QString::fromUtf8(e.what()));
    }
    return writeWholeFile(filePath + QStringLiteral(".sig"), signature) ? ExitOk : ExitFailed;
}
