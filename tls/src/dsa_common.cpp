// The hash value, range checks, s and the deterministic nonces (RFC 6979,
// section 3.2, with HMAC-SHA-256) of DSA and ECDSA.
#include "dsa_common.h"

#include <cstring>
#include <vector>

#include "hmac.h"

namespace VekTls {

namespace {

// out = HMAC-SHA-256 under `key` of the concatenated pieces.
void hmac_sha256(const u8* key, const std::vector<u8>& text, u8 out[32]) {
  digest_ctx digest;
  new_sha256_digest(&digest);
  hmac(key, 32, text.data(), int(text.size()), &digest);
  std::memcpy(out, digest.hash, 32);
}

// V | separator | extra, the message of the K updates.
std::vector<u8> value_with(const nonce_generator* generator, int separator, const std::vector<u8>& extra) {
  std::vector<u8> text(generator->value, generator->value + 32);
  if (separator >= 0) text.push_back(u8(separator));
  text.insert(text.end(), extra.begin(), extra.end());
  return text;
}

// K = HMAC_K(V | separator | extra); V = HMAC_K(V).
void reseed(nonce_generator* generator, int separator, const std::vector<u8>& extra) {
  hmac_sha256(generator->key, value_with(generator, separator, extra), generator->key);
  hmac_sha256(generator->key, value_with(generator, -1, {}), generator->value);
}

// value mod order as order_bytes big-endian bytes.
std::vector<u8> reduced_octets(const huge* value, const huge* order, int order_bytes) {
  huge reduced{};
  huge_copy(&reduced, value);
  reduced.sign = 0;
  huge_divide(&reduced, order, nullptr);
  std::vector<u8> octets(size_t(order_bytes), 0);
  huge_store_bytes(&reduced, octets.data(), octets.size());
  huge_free(&reduced);
  return octets;
}

int bit_length(const huge* value) {
  int bits = 8 * int(value->size);
  for (u8 top = value->rep[0]; bits > 0 && !(top & 0x80); top = u8(top << 1)) bits--;
  return bits;
}

}  // namespace

bool value_is_zero(const huge* value) {
  for (u32 i = 0; i < value->size; i++) {
    if (value->rep[i] != 0) return false;
  }
  return true;
}

bool in_signature_range(const huge* value, const huge* order) {
  return value->rep && value->size > 0 && value->sign == 0 && !value_is_zero(value) && huge_compare(value, order) < 0;
}

void multiply_mod(huge* product, const huge* a, const huge* b, const huge* modulus) {
  huge_copy(product, a);
  huge_multiply(product, b);
  huge_divide(product, modulus, nullptr);
}

void compute_signature_s(const huge* k, const huge* x, const huge* r, const huge* z, const huge* order, huge* s) {
  huge k_inverse{};
  huge_copy(s, x);
  huge_multiply(s, r);
  huge_add(s, z);
  huge_copy(&k_inverse, k);
  huge_mod_inverse(&k_inverse, order);
  huge_multiply(s, &k_inverse);
  huge_divide(s, order, nullptr);
  huge_free(&k_inverse);
}

void hash_value(const u32* hash, int hash_words, const huge* order, huge* z) {
  int length = 4 * hash_words;
  if (length > int(order->size)) length = int(order->size);
  huge_load_bytes(z, reinterpret_cast<const u8*>(hash), size_t(length > 0 ? length : 0));
}

void nonce_init(nonce_generator* generator, const huge* private_key, const huge* z, const huge* order) {
  generator->order_bytes = int(order->size);
  std::memset(generator->value, 0x01, 32);
  std::memset(generator->key, 0x00, 32);
  std::vector<u8> seed = reduced_octets(private_key, order, generator->order_bytes);
  std::vector<u8> hash = reduced_octets(z, order, generator->order_bytes);
  seed.insert(seed.end(), hash.begin(), hash.end());
  reseed(generator, 0x00, seed);
  reseed(generator, 0x01, seed);
  std::memset(seed.data(), 0, seed.size());
}

void nonce_next(nonce_generator* generator, const huge* order, huge* k) {
  int bits = bit_length(order);
  std::vector<u8> candidate;
  for (;;) {
    candidate.clear();
    while (int(candidate.size()) < generator->order_bytes) {
      hmac_sha256(generator->key, value_with(generator, -1, {}), generator->value);
      candidate.insert(candidate.end(), generator->value, generator->value + 32);
    }
    candidate.resize(size_t(generator->order_bytes));
    // Keep the leftmost `bits` bits of the candidate.
    int shift = 8 * generator->order_bytes - bits;
    for (int i = int(candidate.size()) - 1; shift > 0 && i >= 0; i--) {
      candidate[i] = u8(candidate[i] >> shift | (i > 0 ? candidate[i - 1] << (8 - shift) : 0));
    }
    huge_load_bytes(k, candidate.data(), candidate.size());
    // Whatever the outcome, move the state on so the next call differs.
    reseed(generator, 0x00, {});
    if (in_signature_range(k, order)) return;
    huge_free(k);
  }
}

}  // namespace VekTls
