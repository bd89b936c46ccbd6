#include "update/tfmdescriptor.h"

#include <tfm.h>

#include <stdlib.h>
#include <string.h>

/* An operand may use at most half the capacity, so that a product of two operands and
 * the Montgomery intermediates of an exponentiation still fit. That is 4288 bits with
 * Debian's FP_MAX_SIZE: enough for 4096-bit RSA. */
#define MAX_OPERAND_DIGITS (FP_SIZE / 2 - 1)

static int fits(const fp_int* a)
{
    return a->used <= MAX_OPERAND_DIGITS;
}

static int from_fp(int err)
{
    switch (err) {
    case FP_OKAY:
        return CRYPT_OK;
    case FP_MEM:
        return CRYPT_MEM;
    default:
        return CRYPT_INVALID_ARG;
    }
}

static int init(void** a)
{
    LTC_ARGCHK(a != NULL);
    *a = calloc(1, sizeof(fp_int));
    return *a == NULL ? CRYPT_MEM : CRYPT_OK;
}

static void deinit(void* a)
{
    if (a == NULL)
        return;
    /* Numbers hold key material: wipe before freeing. */
    zeromem(a, sizeof(fp_int));
    free(a);
}

static int copy(void* a, void* b)
{
    LTC_ARGCHK(a != NULL && b != NULL);
    fp_copy((fp_int*)a, (fp_int*)b);
    return CRYPT_OK;
}

static int init_copy(void** a, void* b)
{
    int err = init(a);
    if (err != CRYPT_OK)
        return err;
    return copy(b, *a);
}

static int neg(void* a, void* b)
{
    LTC_ARGCHK(a != NULL && b != NULL);
    fp_neg((fp_int*)a, (fp_int*)b);
    return CRYPT_OK;
}

static int set_int(void* a, ltc_mp_digit b)
{
    LTC_ARGCHK(a != NULL);
    fp_set((fp_int*)a, (fp_digit)b);
    return CRYPT_OK;
}

static unsigned long get_int(void* a)
{
    const fp_int* A = (const fp_int*)a;
    return A->used > 0 ? (unsigned long)A->dp[0] : 0;
}

static ltc_mp_digit get_digit(void* a, int n)
{
    const fp_int* A = (const fp_int*)a;
    return (n >= 0 && n < A->used) ? (ltc_mp_digit)A->dp[n] : 0;
}

static int get_digit_count(void* a)
{
    return ((const fp_int*)a)->used;
}

static int compare(void* a, void* b)
{
    /* FP_LT/FP_EQ/FP_GT have the values of LTC_MP_LT/EQ/GT. */
    return fp_cmp((fp_int*)a, (fp_int*)b);
}

static int compare_d(void* a, ltc_mp_digit b)
{
    return fp_cmp_d((fp_int*)a, (fp_digit)b);
}

static int count_bits(void* a)
{
    return fp_count_bits((fp_int*)a);
}

static int count_lsb_bits(void* a)
{
    return fp_cnt_lsb((fp_int*)a);
}

static int twoexpt(void* a, int n)
{
    LTC_ARGCHK(a != NULL);
    if (n < 0 || n >= MAX_OPERAND_DIGITS * DIGIT_BIT)
        return CRYPT_OVERFLOW;
    fp_2expt((fp_int*)a, n);
    return CRYPT_OK;
}

static int read_radix(void* a, const char* str, int radix)
{
    LTC_ARGCHK(a != NULL && str != NULL);
    /* Bounded like unsigned_read: at most 4 bits per character for radix 16, fewer otherwise. */
    if (radix < 2 || radix > 64)
        return CRYPT_INVALID_ARG;
    if (strlen(str) > (size_t)MAX_OPERAND_DIGITS * DIGIT_BIT)
        return CRYPT_OVERFLOW;
    int err = from_fp(fp_read_radix((fp_int*)a, str, radix));
    if (err == CRYPT_OK && !fits((fp_int*)a))
        return CRYPT_OVERFLOW;
    return err;
}

static int write_radix(void* a, char* str, int radix)
{
    LTC_ARGCHK(a != NULL && str != NULL);
    return from_fp(fp_toradix((fp_int*)a, str, radix));
}

static unsigned long unsigned_size(void* a)
{
    return (unsigned long)fp_unsigned_bin_size((fp_int*)a);
}

static int unsigned_write(void* a, unsigned char* b)
{
    LTC_ARGCHK(a != NULL && b != NULL);
    fp_to_unsigned_bin((fp_int*)a, b);
    return CRYPT_OK;
}

static int unsigned_read(void* a, unsigned char* b, unsigned long len)
{
    LTC_ARGCHK(a != NULL);
    LTC_ARGCHK(b != NULL || len == 0);
    /* TomsFastMath drops the leading bytes of an oversized input without a word; leading
     * zeros are harmless, anything else that does not fit is refused. */
    while (len > 0 && *b == 0) {
        ++b;
        --len;
    }
    if (len > (unsigned long)MAX_OPERAND_DIGITS * sizeof(fp_digit))
        return CRYPT_OVERFLOW;
    fp_read_unsigned_bin((fp_int*)a, b, (int)len);
    return CRYPT_OK;
}

static int add(void* a, void* b, void* c)
{
    LTC_ARGCHK(a != NULL && b != NULL && c != NULL);
    if (!fits((fp_int*)a) || !fits((fp_int*)b))
        return CRYPT_OVERFLOW;
    fp_add((fp_int*)a, (fp_int*)b, (fp_int*)c);
    return CRYPT_OK;
}

static int addi(void* a, ltc_mp_digit b, void* c)
{
    LTC_ARGCHK(a != NULL && c != NULL);
    if (!fits((fp_int*)a))
        return CRYPT_OVERFLOW;
    fp_add_d((fp_int*)a, (fp_digit)b, (fp_int*)c);
    return CRYPT_OK;
}

static int sub(void* a, void* b, void* c)
{
    LTC_ARGCHK(a != NULL && b != NULL && c != NULL);
    if (!fits((fp_int*)a) || !fits((fp_int*)b))
        return CRYPT_OVERFLOW;
    fp_sub((fp_int*)a, (fp_int*)b, (fp_int*)c);
    return CRYPT_OK;
}

static int subi(void* a, ltc_mp_digit b, void* c)
{
    LTC_ARGCHK(a != NULL && c != NULL);
    if (!fits((fp_int*)a))
        return CRYPT_OVERFLOW;
    fp_sub_d((fp_int*)a, (fp_digit)b, (fp_int*)c);
    return CRYPT_OK;
}

/* A product must fit the whole capacity; TomsFastMath would cut it short. */
static int product_fits(const fp_int* a, const fp_int* b)
{
    return a->used + b->used <= FP_SIZE;
}

static int mul(void* a, void* b, void* c)
{
    LTC_ARGCHK(a != NULL && b != NULL && c != NULL);
    if (!product_fits((fp_int*)a, (fp_int*)b))
        return CRYPT_OVERFLOW;
    fp_mul((fp_int*)a, (fp_int*)b, (fp_int*)c);
    return CRYPT_OK;
}

static int muli(void* a, ltc_mp_digit b, void* c)
{
    LTC_ARGCHK(a != NULL && c != NULL);
    if (((fp_int*)a)->used + 1 > FP_SIZE)
        return CRYPT_OVERFLOW;
    fp_mul_d((fp_int*)a, (fp_digit)b, (fp_int*)c);
    return CRYPT_OK;
}

static int sqr(void* a, void* b)
{
    LTC_ARGCHK(a != NULL && b != NULL);
    if (!product_fits((fp_int*)a, (fp_int*)a))
        return CRYPT_OVERFLOW;
    fp_sqr((fp_int*)a, (fp_int*)b);
    return CRYPT_OK;
}

static int mpdiv(void* a, void* b, void* c, void* d)
{
    LTC_ARGCHK(a != NULL && b != NULL);
    return from_fp(fp_div((fp_int*)a, (fp_int*)b, (fp_int*)c, (fp_int*)d));
}

static int div_2(void* a, void* b)
{
    LTC_ARGCHK(a != NULL && b != NULL);
    fp_div_2((fp_int*)a, (fp_int*)b);
    return CRYPT_OK;
}

static int modi(void* a, ltc_mp_digit b, ltc_mp_digit* c)
{
    LTC_ARGCHK(a != NULL && c != NULL);
    fp_digit r = 0;
    int err = from_fp(fp_mod_d((fp_int*)a, (fp_digit)b, &r));
    *c = (ltc_mp_digit)r;
    return err;
}

static int gcd(void* a, void* b, void* c)
{
    LTC_ARGCHK(a != NULL && b != NULL && c != NULL);
    fp_gcd((fp_int*)a, (fp_int*)b, (fp_int*)c);
    return CRYPT_OK;
}

static int lcm(void* a, void* b, void* c)
{
    LTC_ARGCHK(a != NULL && b != NULL && c != NULL);
    if (!product_fits((fp_int*)a, (fp_int*)b))
        return CRYPT_OVERFLOW;
    fp_lcm((fp_int*)a, (fp_int*)b, (fp_int*)c);
    return CRYPT_OK;
}

/* Modular operations: the modulus bounds everything, the operands may not exceed it by
 * more than a product can hold. */
static int mod_fits(const fp_int* a, const fp_int* b, const fp_int* m)
{
    return fits(m) && product_fits(a, b);
}

static int addmod(void* a, void* b, void* c, void* d)
{
    LTC_ARGCHK(a != NULL && b != NULL && c != NULL && d != NULL);
    if (!fits((fp_int*)a) || !fits((fp_int*)b) || !fits((fp_int*)c))
        return CRYPT_OVERFLOW;
    return from_fp(fp_addmod((fp_int*)a, (fp_int*)b, (fp_int*)c, (fp_int*)d));
}

static int submod(void* a, void* b, void* c, void* d)
{
    LTC_ARGCHK(a != NULL && b != NULL && c != NULL && d != NULL);
    if (!fits((fp_int*)a) || !fits((fp_int*)b) || !fits((fp_int*)c))
        return CRYPT_OVERFLOW;
    return from_fp(fp_submod((fp_int*)a, (fp_int*)b, (fp_int*)c, (fp_int*)d));
}

static int mulmod(void* a, void* b, void* c, void* d)
{
    LTC_ARGCHK(a != NULL && b != NULL && c != NULL && d != NULL);
    if (!mod_fits((fp_int*)a, (fp_int*)b, (fp_int*)c))
        return CRYPT_OVERFLOW;
    return from_fp(fp_mulmod((fp_int*)a, (fp_int*)b, (fp_int*)c, (fp_int*)d));
}

static int sqrmod(void* a, void* b, void* c)
{
    LTC_ARGCHK(a != NULL && b != NULL && c != NULL);
    if (!mod_fits((fp_int*)a, (fp_int*)a, (fp_int*)b))
        return CRYPT_OVERFLOW;
    return from_fp(fp_sqrmod((fp_int*)a, (fp_int*)b, (fp_int*)c));
}

static int invmod(void* a, void* b, void* c)
{
    LTC_ARGCHK(a != NULL && b != NULL && c != NULL);
    if (!fits((fp_int*)a) || !fits((fp_int*)b))
        return CRYPT_OVERFLOW;
    return from_fp(fp_invmod((fp_int*)a, (fp_int*)b, (fp_int*)c));
}

static int montgomery_setup(void* a, void** b)
{
    LTC_ARGCHK(a != NULL && b != NULL);
    if (!fits((fp_int*)a))
        return CRYPT_OVERFLOW;
    fp_digit* mp = calloc(1, sizeof(fp_digit));
    if (mp == NULL)
        return CRYPT_MEM;
    int err = from_fp(fp_montgomery_setup((fp_int*)a, mp));
    if (err != CRYPT_OK) {
        free(mp);
        mp = NULL;
    }
    *b = mp;
    return err;
}

static int montgomery_normalization(void* a, void* b)
{
    LTC_ARGCHK(a != NULL && b != NULL);
    if (!fits((fp_int*)b))
        return CRYPT_OVERFLOW;
    fp_montgomery_calc_normalization((fp_int*)a, (fp_int*)b);
    return CRYPT_OK;
}

static int montgomery_reduce(void* a, void* b, void* c)
{
    LTC_ARGCHK(a != NULL && b != NULL && c != NULL);
    if (!fits((fp_int*)b))
        return CRYPT_OVERFLOW;
    fp_montgomery_reduce((fp_int*)a, (fp_int*)b, *(fp_digit*)c);
    return CRYPT_OK;
}

static void montgomery_deinit(void* a)
{
    free(a);
}

static int exptmod(void* a, void* b, void* c, void* d)
{
    LTC_ARGCHK(a != NULL && b != NULL && c != NULL && d != NULL);
    if (!fits((fp_int*)a) || !fits((fp_int*)b) || !fits((fp_int*)c))
        return CRYPT_OVERFLOW;
    return from_fp(fp_exptmod((fp_int*)a, (fp_int*)b, (fp_int*)c, (fp_int*)d));
}

/* One Miller-Rabin round with a random base in [2, n-2]; n odd and > 3, n - 1 = d * 2^s. */
static int miller_rabin_round(fp_int* n, fp_int* n1, fp_int* d, int s, int* probable)
{
    unsigned char bytes[MAX_OPERAND_DIGITS * sizeof(fp_digit)];
    const int len = fp_unsigned_bin_size(n);
    if (rng_get_bytes(bytes, (unsigned long)len, NULL) != (unsigned long)len)
        return CRYPT_ERROR_READPRNG;
    fp_int base, range, x;
    fp_init(&base);
    fp_init(&range);
    fp_init(&x);
    fp_read_unsigned_bin(&base, bytes, len);
    fp_sub_d(n, 3, &range);
    int err = from_fp(fp_mod(&base, &range, &base));
    if (err != CRYPT_OK)
        return err;
    fp_add_d(&base, 2, &base);
    err = from_fp(fp_exptmod(&base, d, n, &x));
    if (err != CRYPT_OK)
        return err;
    *probable = fp_cmp_d(&x, 1) == FP_EQ || fp_cmp(&x, n1) == FP_EQ;
    for (int i = 1; i < s && !*probable; ++i) {
        err = from_fp(fp_sqrmod(&x, n, &x));
        if (err != CRYPT_OK)
            return err;
        if (fp_cmp_d(&x, 1) == FP_EQ)
            break;
        *probable = fp_cmp(&x, n1) == FP_EQ;
    }
    return CRYPT_OK;
}

/* Debian's TomsFastMath exports only fp_isprime: trial division and Miller-Rabin with the
 * first 8 primes as bases. Rounds asked for beyond those run with random bases. */
#define FIXED_BASE_ROUNDS 8

static int isprime(void* a, int b, int* c)
{
    LTC_ARGCHK(a != NULL && c != NULL);
    fp_int* n = (fp_int*)a;
    *c = LTC_MP_NO;
    if (!fits(n))
        return CRYPT_OVERFLOW;
    if (fp_cmp_d(n, 2) == FP_LT)
        return CRYPT_OK;
    if (fp_isprime(n) != FP_YES)
        return CRYPT_OK;
    const int rounds = b <= 0 ? LTC_MILLER_RABIN_REPS : b;
    /* Small primes are answered exactly by the trial division above. */
    if (rounds <= FIXED_BASE_ROUNDS || fp_cmp_d(n, 1000) == FP_LT) {
        *c = LTC_MP_YES;
        return CRYPT_OK;
    }
    fp_int n1, d;
    fp_init(&n1);
    fp_sub_d(n, 1, &n1);
    const int s = fp_cnt_lsb(&n1);
    fp_init(&d);
    fp_div_2d(&n1, s, &d, NULL);
    for (int i = FIXED_BASE_ROUNDS; i < rounds; ++i) {
        int probable = 0;
        int err = miller_rabin_round(n, &n1, &d, s, &probable);
        if (err != CRYPT_OK)
            return err;
        if (!probable)
            return CRYPT_OK;
    }
    *c = LTC_MP_YES;
    return CRYPT_OK;
}

static int random_number(void* a, int size)
{
    LTC_ARGCHK(a != NULL);
    if (size <= 0 || size > MAX_OPERAND_DIGITS)
        return CRYPT_INVALID_ARG;
    unsigned char buf[MAX_OPERAND_DIGITS * sizeof(fp_digit)];
    unsigned long len = (unsigned long)size * sizeof(fp_digit);
    if (rng_get_bytes(buf, len, NULL) != len)
        return CRYPT_ERROR_READPRNG;
    fp_read_unsigned_bin((fp_int*)a, buf, (int)len);
    zeromem(buf, len);
    return CRYPT_OK;
}

const ltc_math_descriptor tfm_math_desc = {
    .name = "TomsFastMath",
    .bits_per_digit = (int)DIGIT_BIT,

    .init = init,
    .init_copy = init_copy,
    .deinit = deinit,

    .neg = neg,
    .copy = copy,

    .set_int = set_int,
    .get_int = get_int,
    .get_digit = get_digit,
    .get_digit_count = get_digit_count,
    .compare = compare,
    .compare_d = compare_d,
    .count_bits = count_bits,
    .count_lsb_bits = count_lsb_bits,
    .twoexpt = twoexpt,

    .read_radix = read_radix,
    .write_radix = write_radix,
    .unsigned_size = unsigned_size,
    .unsigned_write = unsigned_write,
    .unsigned_read = unsigned_read,

    .add = add,
    .addi = addi,
    .sub = sub,
    .subi = subi,
    .mul = mul,
    .muli = muli,
    .sqr = sqr,
    .mpdiv = mpdiv,
    .div_2 = div_2,
    .modi = modi,
    .gcd = gcd,
    .lcm = lcm,

    .mulmod = mulmod,
    .sqrmod = sqrmod,
    .invmod = invmod,

    .montgomery_setup = montgomery_setup,
    .montgomery_normalization = montgomery_normalization,
    .montgomery_reduce = montgomery_reduce,
    .montgomery_deinit = montgomery_deinit,

    .exptmod = exptmod,
    .isprime = isprime,

    /* ECC is not used. */
    .ecc_ptmul = NULL,
    .ecc_ptadd = NULL,
    .ecc_ptdbl = NULL,
    .ecc_map = NULL,
    .ecc_mul2add = NULL,

    /* libtomcrypt calls these entries unchecked for RSA signing and verification: they
     * must be set, and its own generic code is what we want there. */
    .rsa_keygen = rsa_make_key,
    .rsa_me = rsa_exptmod,

    .addmod = addmod,
    .submod = submod,

    .rand = random_number,
};
