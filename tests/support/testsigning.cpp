#include "support/testsigning.h"

#include "update/tomcryptutil.h"

QByteArray signWithTestKey(const QByteArray& data)
{
    crypt_init();
    Rsa_key key;
    load_key(&key, QUORVEL_TEST_PRIVATE_KEY);
    unsigned char sig[1024];
    unsigned long sigLen = sizeof sig;
    sign_msg(&key, reinterpret_cast<const unsigned char*>(data.constData()), data.size(), sig, &sigLen);
    rsa_free(&key);
    return QByteArray(reinterpret_cast<const char*>(sig), int(sigLen));
}
