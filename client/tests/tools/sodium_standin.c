/* A stand-in for the signature library that fails in a way the real one never does, so that the
   self-test's own verdict on it can be seen: built once rejecting every signature (as a damaged or
   wrong build would) and once accepting signatures but failing to seal. It exports what the program
   looks for in the real one. */
#include <string.h>

#define EXPORT __declspec(dllexport)

EXPORT int sodium_init(void) { return 0; }

EXPORT int crypto_sign_verify_detached(const unsigned char* sig, const unsigned char* m, unsigned long long mlen,
                                       const unsigned char* pk) {
    (void)sig, (void)m, (void)mlen, (void)pk;
#ifdef STANDIN_REJECTS_SIGNATURES
    return -1;
#else
    return 0;
#endif
}

EXPORT int crypto_sign_ed25519_pk_to_curve25519(unsigned char* curve25519_pk, const unsigned char* ed25519_pk) {
    memcpy(curve25519_pk, ed25519_pk, 32);
    return 0;
}

EXPORT int crypto_box_seal(unsigned char* c, const unsigned char* m, unsigned long long mlen, const unsigned char* pk) {
    (void)c, (void)m, (void)mlen, (void)pk;
    return -1;
}
