#include "commands.h"
#include "publishio.h"

#include <QFile>

// genkey [--force] PRIVATE PUBLIC
int genkeyCommand(const QStringList& args)
{
    QStringList paths = args;
    const bool force = paths.removeAll(QStringLiteral("--force")) > 0;
    if (paths.size() != 2)
        return fail(ExitUsage, QStringLiteral("genkey needs PRIVATE and PUBLIC (see --help)"));
    const QString privatePath = paths.at(0);
    const QString publicPath = paths.at(1);
    if (QFile(privatePath).fileName() == QFile(publicPath).fileName())
        return fail(ExitUsage, QStringLiteral("PRIVATE and PUBLIC must be different files"));
    if (!force) {
        for (const QString& path : {privatePath, publicPath}) {
            if (QFile::exists(path))
                return fail(ExitFailed, QStringLiteral("%1 exists; use --force to replace it").arg(path));
        }
    }

    Rsa_key key;
    try {
        create_key(&key);
    } catch (const crypt_exception& e) {
        return fail(ExitFailed, QString::fromUtf8(e.what()));
    }
    const bool privateExisted = QFile::exists(privatePath);
    bool privateWritten = false;
    int code = ExitOk;
    try {
        saveKeyFile(&key, PK_PRIVATE, privatePath, force);
        privateWritten = true;
        saveKeyFile(&key, PK_PUBLIC, publicPath, force);
    } catch (const crypt_exception& e) {
        // A private key without its public half is of no use: do not leave one behind.
        if (privateWritten && !privateExisted)
            QFile::remove(privatePath);
        code = fail(ExitFailed, QString::fromUtf8(e.what()));
    }
    rsa_free(&key);
    return code;
}
