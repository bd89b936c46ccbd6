#include "support/testsigning.h"

#include "update/tomcryptutil.h"

namespace {
QByteArray sign(Rsa_key& key, const QByteArray& data)
{
    unsigned char sig[1024];
    unsigned long sigLen = sizeof sig;
    sign_msg(&key, reinterpret_cast<const unsigned char*>(data.constData()), data.size(), sig, &sigLen);
    rsa_free(&key);
    return QByteArray(reinterpret_cast<const char*>(sig), int(sigLen));
}
}

QByteArray signWithTestKey(const QByteArray& data)
{
    crypt_init();
    Rsa_key key;
    load_key(&key, QUORVEL_TEST_PRIVATE_KEY);
    return sign(key, data);
}

QByteArray signWithNewKey(const QByteArray& data)
{
    crypt_init();
    Rsa_key key;
    create_key(&key);
    return sign(key, data);
}
