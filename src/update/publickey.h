#pragma once

// The product ini verification key, embedded at build time from QUORVEL_PUBLIC_KEY_FILE:
// DER of the PKCS #1 RSAPublicKey at the start, zero filler after it.
constexpr unsigned long PUBLIC_KEY_SIZE = 2048;
extern const unsigned char PUBLIC_KEY[PUBLIC_KEY_SIZE];
