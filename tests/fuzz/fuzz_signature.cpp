// Signature verification with random signatures, messages and keys. The first byte picks
// the key: odd uses the embedded public key, even reads a key from the input.
#include "fuzzsupport.h"
#include "update/publickey.h"
#include "update/tomcryptutil.h"


extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const bool initialised = (crypt_init(), true);
    (void)initialised;
    if (size < 3)
        return 0;
    const bool embeddedKey = data[0] & 1;
    size_t keySize = embeddedKey ? 0 : qMin<size_t>(size - 3, (size_t(data[1]) << 8 | data[2]) % 1200);
    const uint8_t* rest = data + 3 + keySize;
    const size_t restSize = size - 3 - keySize;
    // The signature is the last part, as long as the modulus when there is enough input.
    const size_t sigSize = qMin<size_t>(restSize, data[0] & 2 ? 256 : 128);
    // As the signature check holds it: never a null pointer, even when empty.
    QByteArray signature = fuzzBytes(rest + restSize - sigSize, sigSize);

    Rsa_key key;
    try {
        if (embeddedKey)
            load_key(&key, PUBLIC_KEY, PUBLIC_KEY_SIZE);
        else
            load_key(&key, data + 3, keySize);
    } catch (const crypt_exception&) {
        return 0;
    }
    try {
        (void)verify_msg(&key, rest, restSize - sigSize, reinterpret_cast<unsigned char*>(signature.data()), signature.size());
    } catch (const crypt_exception&) {
    }
    rsa_free(&key);
    return 0;
}
