#pragma once

#include <tomcrypt.h>

#ifdef __cplusplus
extern "C" {
#endif

// libtomcrypt's big-number interface over TomsFastMath. Debian's libtomcrypt ships without
// a working TomsFastMath glue, so we carry our own. It covers what RSA needs; the ECC
// entries are left empty. TomsFastMath numbers have a fixed capacity: inputs and results
// that would not fit are refused with CRYPT_OVERFLOW instead of being silently truncated.
extern const ltc_math_descriptor tfm_math_desc;

#ifdef __cplusplus
}
#endif
