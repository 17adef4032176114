// What DSA and ECDSA share: the hash value z, the range check of r and s,
// the computation of s, and deterministic nonces (RFC 6979 with
// HMAC-SHA-256): k is drawn from an HMAC generator keyed by the private key
// and the hash, so one hash and one key always give one signature, while two
// different hashes never share a nonce (which would reveal the key).
#pragma once
#include "digest.h"
#include "huge.h"
#include "kernel/VekTypes.h"

namespace VekTls {

// The generator's state: K and V of RFC 6979, and the group order's size.
struct nonce_generator {
  u8 key[32];    // K
  u8 value[32];  // V
  int order_bytes;
};

// Seeds the generator from the private key x and the hash value z, both
// taken modulo the group order.
void nonce_init(nonce_generator* generator, const huge* private_key, const huge* z, const huge* order);

// k = the next candidate in 1 .. order-1 (k must hold no array). A caller
// that cannot use a k (r or s zero) asks again.
void nonce_next(nonce_generator* generator, const huge* order, huge* k);

// The hash value of the signature schemes: the first min(4 * hash_words,
// byte length of the order) bytes of the hash words in memory order, read
// as a big-endian number (z must hold no array).
void hash_value(const u32* hash, int hash_words, const huge* order, huge* z);

// True for a value of 1 .. order-1, the range of r and s.
bool in_signature_range(const huge* value, const huge* order);

// True for zero (whatever its sign).
bool value_is_zero(const huge* value);

// product = a * b mod modulus (product's array, if any, is released).
void multiply_mod(huge* product, const huge* a, const huge* b, const huge* modulus);

// s = k^-1 * (x * r + z) mod order (s's array, if any, is released).
void compute_signature_s(const huge* k, const huge* x, const huge* r, const huge* z, const huge* order, huge* s);

}  // namespace VekTls
