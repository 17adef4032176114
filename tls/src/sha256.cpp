// SHA-256 block function (FIPS 180-4), fully unrolled over a 16-word
// rolling message schedule.
#include "byte_order.h"
#include "digest_algorithm.h"

namespace VekTls {

namespace {

const u32 sha256_initial_hash[SHA256_HASH_WORDS] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                    0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

const u32 sha256_k[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

inline u32 big_sigma0(u32 x) { return rotr32(x, 2) ^ rotr32(x, 13) ^ rotr32(x, 22); }
inline u32 big_sigma1(u32 x) { return rotr32(x, 6) ^ rotr32(x, 11) ^ rotr32(x, 25); }
inline u32 small_sigma0(u32 x) { return rotr32(x, 7) ^ rotr32(x, 18) ^ (x >> 3); }
inline u32 small_sigma1(u32 x) { return rotr32(x, 17) ^ rotr32(x, 19) ^ (x >> 10); }
inline u32 sha256_ch(u32 e, u32 f, u32 g) { return g ^ (e & (f ^ g)); }
inline u32 sha256_maj(u32 a, u32 b, u32 c) { return (a & b) | (c & (a | b)); }

// Schedule word t; from t = 16 on it is computed in place of word t - 16.
#define SHA256_W(t)                                                                \
  ((t) < 16 ? w[(t)&15]                                                            \
            : (w[(t)&15] += small_sigma1(w[((t) + 14) & 15]) + w[((t) + 9) & 15] + \
                            small_sigma0(w[((t) + 1) & 15])))

// One round; instead of shifting the eight variables, the callers rotate their names.
#define SHA256_STEP(a, b, c, d, e, f, g, h, t)                                   \
  do {                                                                           \
    u32 t1 = h + big_sigma1(e) + sha256_ch(e, f, g) + sha256_k[t] + SHA256_W(t); \
    d += t1;                                                                     \
    h = t1 + big_sigma0(a) + sha256_maj(a, b, c);                                \
  } while (0)

#define SHA256_EIGHT(t)                                 \
  SHA256_STEP(a, b, c, d, e, f, g, h, (t));             \
  SHA256_STEP(h, a, b, c, d, e, f, g, (t) + 1);         \
  SHA256_STEP(g, h, a, b, c, d, e, f, (t) + 2);         \
  SHA256_STEP(f, g, h, a, b, c, d, e, (t) + 3);         \
  SHA256_STEP(e, f, g, h, a, b, c, d, (t) + 4);         \
  SHA256_STEP(d, e, f, g, h, a, b, c, (t) + 5);         \
  SHA256_STEP(c, d, e, f, g, h, a, b, (t) + 6);         \
  SHA256_STEP(b, c, d, e, f, g, h, a, (t) + 7)

void sha256_compress_block(const u8* block, u32* hash) {
  u32 w[16];
  for (int i = 0; i < 16; i++) w[i] = load_be32(block + 4 * i);
  u32 a = hash[0], b = hash[1], c = hash[2], d = hash[3];
  u32 e = hash[4], f = hash[5], g = hash[6], h = hash[7];

  SHA256_EIGHT(0);
  SHA256_EIGHT(8);
  SHA256_EIGHT(16);
  SHA256_EIGHT(24);
  SHA256_EIGHT(32);
  SHA256_EIGHT(40);
  SHA256_EIGHT(48);
  SHA256_EIGHT(56);

  hash[0] += a;
  hash[1] += b;
  hash[2] += c;
  hash[3] += d;
  hash[4] += e;
  hash[5] += f;
  hash[6] += g;
  hash[7] += h;
}

#undef SHA256_EIGHT
#undef SHA256_STEP
#undef SHA256_W

}  // namespace

const digest_algorithm sha256_algorithm = {SHA256_HASH_WORDS, sha256_initial_hash, sha256_compress_block,
                                           true};

}  // namespace VekTls
