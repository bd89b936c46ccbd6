#include "commands.h"
#include "publishio.h"

#include <cstdio>

// verify PUBLIC FILE: 0 when FILE.sig is a valid signature of FILE, 1 when not.
int verifyCommand(const QStringList& args)
{
    if (args.size() != 2)
        return fail(ExitUsage, QStringLiteral("verify needs PUBLIC and FILE (see --help)"));
    const QString& keyPath = args.at(0);
    const QString& filePath = args.at(1);
    const QString sigPath = filePath + QStringLiteral(".sig");

    Rsa_key key;
    if (!loadKeyFile(keyPath, &key))
        return ExitUsage;
    QByteArray data;
    QByteArray signature;
    int code = ExitOk;
    if (!readWholeFile(filePath, data) || !readWholeFile(sigPath, signature)) {
        code = ExitFailed;
    } else {
        try {
            if (verify_msg(&key, reinterpret_cast<const unsigned char*>(data.constData()),
                           static_cast<unsigned long>(data.size()), reinterpret_cast<unsigned char*>(signature.data()),
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
