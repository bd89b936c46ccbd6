#include "update/tomcryptutil.h"

#include "update/tfmdescriptor.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr unsigned long kKeyFileSize = 2048;
constexpr unsigned long kDigestSize = 20;
constexpr unsigned long kSaltLength = 8;

// The libtomcrypt calls below end in an assertion abort without a math provider.
void require_init()
{
    if (ltc_mp.name == nullptr || hash_idx < 0 || prng_idx < 0)
        throw crypt_exception("crypt_init has not been called");
}

} // namespace

int hash_idx = -1;
int prng_idx = -1;

crypt_exception::crypt_exception(std::string message)
    : message(std::move(message))
{
}

const char* crypt_exception::what() const noexcept
{
    return message.c_str();
}

void crypt_init()
{
    if (register_prng(&sprng_desc) == -1)
        throw crypt_exception("Error registering sha1");
    ltc_mp = tfm_math_desc;
    if (register_hash(&sha1_desc) == -1)
        throw crypt_exception("Error registering sha1");
    hash_idx = find_hash("sha1");
    prng_idx = find_prng("sprng");
}

void check_err(char const* operation, int err)
{
    if (err == CRYPT_OK)
        return;
    throw crypt_exception(std::string(operation) + ": " + error_to_string(err));
}

void hash_msg(unsigned char const* in, unsigned long len, unsigned char* out)
{
    hash_state state;
    check_err("sha1", sha1_init(&state));
    check_err("sha1", sha1_process(&state, in, len));
    check_err("sha1", sha1_done(&state, out));
}

bool verify_msg(Rsa_key* key, unsigned char const* msg, unsigned long len, unsigned char* sig,
                unsigned long siglen)
{
    require_init();
    unsigned char digest[kDigestSize];
    hash_msg(msg, len, digest);
    return verify_digest(key, digest, sig, siglen);
}

bool verify_digest(Rsa_key* key, unsigned char const* digest, unsigned char* sig, unsigned long siglen)
{
    require_init();
    int status = 0;
    const int err = rsa_verify_hash_ex(sig, siglen, digest, kDigestSize, LTC_PKCS_1_PSS, hash_idx, kSaltLength,
                                       &status, key);
    // A signature of the right length whose value is not below the modulus, or whose
    // padding does not decode, is reported by libtomcrypt as an error; it is a bad
    // signature, not an error. A wrong length stays an error.
    const int modulusSize = rsa_get_size(key);
    const bool rightLength = modulusSize > 0 && siglen == static_cast<unsigned long>(modulusSize);
    if (rightLength && (err == CRYPT_INVALID_PACKET || err == CRYPT_PK_INVALID_SIZE))
        return false;
    check_err("rsa_verify_hash", err);
    return status == 1;
}

void sign_msg(Rsa_key* key, unsigned char const* msg, unsigned long len, unsigned char* sig,
              unsigned long* siglen)
{
    require_init();
    unsigned char digest[kDigestSize];
    hash_msg(msg, len, digest);
    sign_digest(key, digest, sig, siglen);
}

void sign_digest(Rsa_key* key, unsigned char const* digest, unsigned char* sig, unsigned long* siglen)
{
    require_init();
    check_err("rsa_sign_hash", rsa_sign_hash_ex(digest, kDigestSize, sig, siglen, LTC_PKCS_1_PSS, nullptr, prng_idx,
                                                hash_idx, kSaltLength, key));
}

void create_key(Rsa_key* key)
{
    require_init();
    check_err("rsa_make_key", rsa_make_key(nullptr, prng_idx, 128, 65537, key));
}

void load_key(Rsa_key* key, unsigned char const* data, unsigned long len)
{
    require_init();
    // libtomcrypt aborts the process on an empty input instead of returning an error.
    if (len == 0)
        throw crypt_exception("rsa_import: empty key");
    check_err("rsa_import", rsa_import(data, len, key));
}

void load_key(Rsa_key* key, char const* path)
{
    require_init();
    // A missing or short file leaves zeros, which the import rejects.
    unsigned char buffer[kKeyFileSize] = {};
    if (FILE* file = std::fopen(path, "rb")) {
        (void)std::fread(buffer, 1, kKeyFileSize, file);
        std::fclose(file);
    }
    int err = rsa_import(buffer, kKeyFileSize, key);
    zeromem(buffer, kKeyFileSize);
    check_err("rsa_import", err);
}

void save_key(Rsa_key* key, int type, char const* path)
{
    require_init();
    unsigned char buffer[kKeyFileSize] = {};
    unsigned long len = kKeyFileSize;
    int err = rsa_export(buffer, &len, type, key);
    if (err != CRYPT_OK) {
        zeromem(buffer, kKeyFileSize);
        check_err("rsa_export", err);
    }
    try {
        write_file(path, buffer, kKeyFileSize);
    } catch (...) {
        zeromem(buffer, kKeyFileSize);
        throw;
    }
    zeromem(buffer, kKeyFileSize);
}

void read_file(char const* path, unsigned char** data, unsigned long* len)
{
    *len = 0;
    *data = nullptr;
    FILE* file = std::fopen(path, "rb");
    if (!file)
        throw crypt_exception(std::string("Cannot open file for reading: ") + path);
    unsigned char* buffer = nullptr;
    unsigned long used = 0;
    for (;;) {
        auto* grown = static_cast<unsigned char*>(std::realloc(buffer, used + kKeyFileSize));
        if (!grown) {
            std::free(buffer);
            std::fclose(file);
            throw std::bad_alloc();
        }
        buffer = grown;
        used += std::fread(buffer + used, 1, kKeyFileSize, file);
        if (std::feof(file) || std::ferror(file))
            break;
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    // A read error must not pass for a shorter file.
    if (failed) {
        std::free(buffer);
        throw crypt_exception(std::string("Cannot read file: ") + path);
    }
    *data = buffer;
    *len = used;
}

void write_file(char const* path, unsigned char* data, unsigned long len)
{
    FILE* file = std::fopen(path, "wb");
    if (!file)
        throw crypt_exception(std::string("Cannot open file for writing: ") + path);
    const bool written = std::fwrite(data, 1, len, file) == len;
    // fclose flushes: a full disk shows here.
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed)
        throw crypt_exception(std::string("Cannot write file: ") + path);
}
