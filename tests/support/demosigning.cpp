#include "support/demosigning.h"

#include "update/publickey.h"
#include "update/tomcryptutil.h"

#include <QFile>

bool builtWithDemoKey()
{
    QFile demoKey(QUORVEL_SOURCE_DIR "/keys/demo_public.key");
    return demoKey.open(QIODevice::ReadOnly)
        && demoKey.readAll() == QByteArray(reinterpret_cast<const char*>(PUBLIC_KEY), int(PUBLIC_KEY_SIZE));
}

QByteArray signWithDemoKey(const QByteArray& data)
{
    Rsa_key key;
    load_key(&key, QUORVEL_SOURCE_DIR "/keys/demo_private.key");
    unsigned char sig[1024];
    unsigned long sigLen = sizeof sig;
    sign_msg(&key, reinterpret_cast<const unsigned char*>(data.constData()), data.size(), sig, &sigLen);
    rsa_free(&key);
    return QByteArray(reinterpret_cast<const char*>(sig), int(sigLen));
}
