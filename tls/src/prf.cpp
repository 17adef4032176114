// The TLS 1.0 pseudo-random function, built from P_hash expansions with
// HMAC-MD5 and HMAC-SHA1.
#include "prf.h"

#include <cstring>
#include <vector>

#include "hmac.h"

namespace VekTls {

namespace {

typedef void (*digest_setup)(digest_ctx*);

// Writes `output_length` bytes of P_hash(secret, seed), XOR-ed into `output`
// when `xor_into_output` is set:
//   A(0) = seed, A(i) = HMAC(secret, A(i-1)),
//   P_hash = HMAC(secret, A(1) + seed) + HMAC(secret, A(2) + seed) + ...
void p_hash(digest_setup setup, const u8* secret, int secret_length, const std::vector<u8>& seed,
            u8* output, int output_length, bool xor_into_output) {
  digest_ctx digest;
  setup(&digest);
  const int hash_size = int(sizeof(u32)) * digest.hash_len;
  // a_and_seed holds A(i) followed by the seed, so A(i) + seed is one input.
  std::vector<u8> a_and_seed(hash_size + seed.size());
  std::memcpy(a_and_seed.data() + hash_size, seed.data(), seed.size());

  hmac(secret, secret_length, seed.data(), int(seed.size()), &digest);  // A(1)
  for (int done = 0; done < output_length; done += hash_size) {
    std::memcpy(a_and_seed.data(), digest.hash, hash_size);
    setup(&digest);
    hmac(secret, secret_length, a_and_seed.data(), int(a_and_seed.size()), &digest);
    const u8* chunk = reinterpret_cast<const u8*>(digest.hash);
    for (int i = 0; i < hash_size && done + i < output_length; i++)
      output[done + i] = xor_into_output ? u8(output[done + i] ^ chunk[i]) : chunk[i];
    setup(&digest);
    hmac(secret, secret_length, a_and_seed.data(), hash_size, &digest);  // A(i + 1)
  }
}

}  // namespace

void prf(const u8* secret, int secret_length, const u8* label, int label_length, const u8* seed,
         int seed_length, u8* output, int output_length) {
  if (output_length <= 0) return;
  if (secret_length < 0) secret_length = 0;
  std::vector<u8> label_and_seed;
  if (label_length > 0) label_and_seed.insert(label_and_seed.end(), label, label + label_length);
  if (seed_length > 0) label_and_seed.insert(label_and_seed.end(), seed, seed + seed_length);

  const int half = (secret_length + 1) / 2;
  p_hash(new_md5_digest, secret, half, label_and_seed, output, output_length, false);
  p_hash(new_sha1_digest, secret + (secret_length - half), half, label_and_seed, output, output_length,
         true);
}

}  // namespace VekTls
