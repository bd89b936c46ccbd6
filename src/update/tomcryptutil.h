#pragma once

#include <tomcrypt.h>

#include <exception>
#include <string>

// Our thin layer over libtomcrypt (TomsFastMath as its big-number provider): RSASSA-PSS
// with SHA-1 and an 8-byte salt over byte buffers, and the key and signature file forms.
// Every failure throws crypt_exception; a signature that does not match is no failure.

using Rsa_key = rsa_key;

class crypt_exception : public std::exception
{
public:
    explicit crypt_exception(std::string message);
    const char* what() const noexcept override;

private:
    std::string message;
};

// Indices of SHA-1 and of the system random source in libtomcrypt's registries; -1 until
// crypt_init() has run.
extern int hash_idx;
extern int prng_idx;

// Registers the algorithms and installs the math provider. Call once on the main thread
// before any other function here runs; a second call changes nothing.
void crypt_init();

// SHA-1 of the input into a 20-byte output.
void hash_msg(unsigned char const* in, unsigned long len, unsigned char* out);

// True when sig is a valid signature of msg; throws on library errors, e.g. a signature
// whose length is not the modulus length.
bool verify_msg(Rsa_key* key, unsigned char const* msg, unsigned long len, unsigned char* sig,
                unsigned long siglen);
// siglen: in the size of sig, out the signature length.
void sign_msg(Rsa_key* key, unsigned char const* msg, unsigned long len, unsigned char* sig,
              unsigned long* siglen);
// The same over a 20-byte SHA-1 digest made elsewhere, so large files can be hashed in pieces.
bool verify_digest(Rsa_key* key, unsigned char const* digest, unsigned char* sig, unsigned long siglen);
void sign_digest(Rsa_key* key, unsigned char const* digest, unsigned char* sig, unsigned long* siglen);

// The key functions fill an unused key; after success the caller releases it with rsa_free().
void create_key(Rsa_key* key);
// DER public or private key; bytes after the DER structure are ignored.
void load_key(Rsa_key* key, unsigned char const* data, unsigned long len);
// A key file: the first 2048 bytes of the file, zero-padded when it is shorter.
void load_key(Rsa_key* key, char const* path);
// Writes exactly 2048 bytes: the DER export (type PK_PUBLIC or PK_PRIVATE), then zeros.
void save_key(Rsa_key* key, int type, char const* path);

// Reads a whole file into a buffer allocated with realloc; the caller frees it with free().
void read_file(char const* path, unsigned char** data, unsigned long* len);
void write_file(char const* path, unsigned char* data, unsigned long len);

// Throws "<operation>: <library text>" unless err is CRYPT_OK.
void check_err(char const* operation, int err);
