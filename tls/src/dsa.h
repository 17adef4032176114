// DSA signing and verification over huge numbers.
//
// A hash is passed as a digest's hash words (digest.h), its bytes taken in
// memory order. The nonce is derived from the private key and the hash with
// HMAC-SHA-256 (RFC 6979), so signing one hash with one key always gives one
// signature while different hashes never share a nonce.
#pragma once
#include "huge.h"
#include "kernel/VekTypes.h"

namespace VekTls {

struct dsa_params {
  huge g;  // generator
  huge p;  // prime modulus
  huge q;  // prime order of the subgroup
};

// r and s of a DSA or ECDSA signature.
struct dsa_signature {
  huge r;
  huge s;
};

// Fills r and s (which must hold no arrays); x is the private key.
void dsa_sign(dsa_params* params, huge* private_key, const u32* hash, int hash_words,
              dsa_signature* signature);

// 1 when the signature is valid for the public key y, 0 otherwise (also for
// r or s outside 1 .. q-1).
int dsa_verify(dsa_params* params, huge* public_key, const u32* hash, int hash_words,
               dsa_signature* signature);

}  // namespace VekTls
