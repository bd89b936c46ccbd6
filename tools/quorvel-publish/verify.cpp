#include "commands.h"
#include "publishio.h"

#include <cstdio>

// verify PUBLIC FILE: 0 when FILE.sig is a valid signature of FILE, 1 when not.
int verifyCommand(const QStringList& args)
{
    if (args.size() != 2)
        return fail(ExitUsage, QStringLiteral("verify needs PUBLIC and FILE (see verify --help)"));
    const QString& keyPath = args.at(0);
    const QString& filePath = args.at(1);
    const QString sigPath = filePath + QStringLiteral(".sig");

    Rsa_key key;
    if (!loadKeyFile(keyPath, &key))
        return ExitUsage;
    QByteArray digest;
    QByteArray signature;
    int code = ExitOk;
    if (!sha1OfFile(filePath, digest) || !readSmallFile(sigPath, signature, 1024)) {
        code = ExitFailed;
    } else {
        try {
            if (verify_digest(&key, reinterpret_cast<const unsigned char*>(digest.constData()),
                              reinterpret_cast<unsigned char*>(signature.data()),
                              static_cast<unsigned long>(signature.size())))
                std::printf("%s: signature valid\n", qPrintable(filePath));
            else
                code = fail(ExitFailed, QStringLiteral("%1 does not match %2").arg(sigPath, filePath));
        } catch (const crypt_exception& e) {
            code = fail(ExitFailed, QStringLiteral("%1 is not a valid signature: %2").arg(sigPath, QString::fromUtf8(e.what())));
        }
    }
    rsa_free(&key);
    return code;
}
