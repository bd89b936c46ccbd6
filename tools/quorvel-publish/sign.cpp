#include "commands.h"
#include "publishio.h"

// sign PRIVATE FILE: writes the raw signature to FILE.sig.
int signCommand(const QStringList& args)
{
    if (args.size() != 2)
        return fail(ExitUsage, QStringLiteral("sign needs PRIVATE and FILE (see --help)"));
    const QString& keyPath = args.at(0);
    const QString& filePath = args.at(1);

    Rsa_key key;
    if (!loadKeyFile(keyPath, &key))
        return ExitUsage;
    if (key.type != PK_PRIVATE) {
        rsa_free(&key);
        return fail(ExitUsage, QStringLiteral("%1 holds no private key").arg(keyPath));
    }

    QByteArray data;
    QByteArray signature(1024, '\0'); // room for a modulus of up to 8192 bits
    int code = ExitOk;
    if (!readWholeFile(filePath, data)) {
        code = ExitFailed;
    } else {
        try {
            unsigned long length = static_cast<unsigned long>(signature.size());
            sign_msg(&key, reinterpret_cast<const unsigned char*>(data.constData()),
                     static_cast<unsigned long>(data.size()), reinterpret_cast<unsigned char*>(signature.data()),
                     &length);
            signature.truncate(static_cast<qsizetype>(length));
            if (!writeWholeFile(filePath + QStringLiteral(".sig"), signature))
                code = ExitFailed;
        } catch (const crypt_exception& e) {
            code = fail(ExitFailed, QString::fromUtf8(e.what()));
        }
    }
    rsa_free(&key);
    return code;
}
