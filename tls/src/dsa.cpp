// DSA (FIPS 186) signing and verification.
#include "dsa.h"

#include "dsa_common.h"

namespace VekTls {

namespace {

// value = value mod modulus.
void reduce(huge* value, const huge* modulus) { huge_divide(value, modulus, nullptr); }

// Brings numbers read from DER INTEGERs (which keep a leading zero byte
// before a set top bit) to normal form: the byte length of q decides how
// much of the hash is used.
void normalise(huge* value) {
  if (value->rep && value->size > 0) huge_contract(value);
}

// Parameters that the arithmetic below can work with: q at least 2 and p
// odd (the modular power needs an odd modulus; a prime p is odd).
bool usable_params(dsa_params* params) {
  normalise(&params->g);
  normalise(&params->p);
  normalise(&params->q);
  if (!params->p.rep || !params->q.rep || params->p.size == 0 || params->q.size == 0) return false;
  huge two{};
  huge_set_uint(&two, 2);
  bool usable = huge_compare(&params->q, &two) >= 0 && (params->p.rep[params->p.size - 1] & 1);
  huge_free(&two);
  return usable;
}

}  // namespace

void dsa_sign(dsa_params* params, huge* private_key, const u32* hash, int hash_words,
              dsa_signature* signature) {
  signature->r = huge{};
  signature->s = huge{};
  if (!usable_params(params)) {
    huge_set_uint(&signature->r, 0);
    huge_set_uint(&signature->s, 0);
    return;
  }
  huge z{};
  hash_value(hash, hash_words, &params->q, &z);
  nonce_generator generator;
  nonce_init(&generator, private_key, &z, &params->q);
  for (;;) {
    huge k{};
    nonce_next(&generator, &params->q, &k);
    huge_mod_pow(&params->g, &k, &params->p, &signature->r);
    reduce(&signature->r, &params->q);
    compute_signature_s(&k, private_key, &signature->r, &z, &params->q, &signature->s);
    huge_free(&k);
    if (!value_is_zero(&signature->r) && !value_is_zero(&signature->s)) break;
    huge_free(&signature->r);  // a zero r or s: take the next nonce
    huge_free(&signature->s);
  }
  huge_free(&z);
}

int dsa_verify(dsa_params* params, huge* public_key, const u32* hash, int hash_words,
               dsa_signature* signature) {
  normalise(&signature->r);
  normalise(&signature->s);
  normalise(public_key);
  if (!public_key->rep || public_key->size == 0 || !usable_params(params) || !in_signature_range(&signature->r, &params->q) ||
      !in_signature_range(&signature->s, &params->q)) {
    return 0;
  }
  huge z{}, w{}, u1{}, u2{}, v1{}, v2{};
  hash_value(hash, hash_words, &params->q, &z);
  huge_copy(&w, &signature->s);
  huge_mod_inverse(&w, &params->q);
  multiply_mod(&u1, &z, &w, &params->q);
  multiply_mod(&u2, &signature->r, &w, &params->q);
  huge_mod_pow(&params->g, &u1, &params->p, &v1);
  huge_mod_pow(public_key, &u2, &params->p, &v2);
  huge_multiply(&v1, &v2);
  reduce(&v1, &params->p);
  reduce(&v1, &params->q);
  int valid = huge_compare(&v1, &signature->r) == 0;
  huge* temporaries[] = {&z, &w, &u1, &u2, &v1, &v2};
  for (huge* number : temporaries) huge_free(number);
  return valid;
}

}  // namespace VekTls
