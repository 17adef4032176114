// SHA-1 block function (FIPS 180-4), fully unrolled over a 16-word
// rolling message schedule.
#include "byte_order.h"
#include "digest_algorithm.h"

namespace VekTls {

namespace {

const u32 sha1_initial_hash[SHA1_HASH_WORDS] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476,
                                                0xc3d2e1f0};

inline u32 sha1_ch(u32 b, u32 c, u32 d) { return d ^ (b & (c ^ d)); }
inline u32 sha1_parity(u32 b, u32 c, u32 d) { return b ^ c ^ d; }
inline u32 sha1_maj(u32 b, u32 c, u32 d) { return (b & c) | (d & (b | c)); }

// Schedule word t; from t = 16 on it is computed in place of word t - 16.
#define SHA1_W(t)                                                                           \
  ((t) < 16 ? w[(t)&15]                                                                     \
            : (w[(t)&15] = rotl32(w[((t) + 13) & 15] ^ w[((t) + 8) & 15] ^ w[((t) + 2) & 15] ^ \
                                      w[(t)&15],                                            \
                                  1)))

// One round; instead of shifting the five variables, the callers rotate their names.
#define SHA1_STEP(f, k, a, b, c, d, e, t)          \
  e += rotl32(a, 5) + f(b, c, d) + (k) + SHA1_W(t); \
  b = rotl32(b, 30)

#define SHA1_FIVE(f, k, t)                 \
  SHA1_STEP(f, k, a, b, c, d, e, (t));     \
  SHA1_STEP(f, k, e, a, b, c, d, (t) + 1); \
  SHA1_STEP(f, k, d, e, a, b, c, (t) + 2); \
  SHA1_STEP(f, k, c, d, e, a, b, (t) + 3); \
  SHA1_STEP(f, k, b, c, d, e, a, (t) + 4)

#define SHA1_TWENTY(f, k, t) \
  SHA1_FIVE(f, k, (t));      \
  SHA1_FIVE(f, k, (t) + 5);  \
  SHA1_FIVE(f, k, (t) + 10); \
  SHA1_FIVE(f, k, (t) + 15)

void sha1_compress_block(const u8* block, u32* hash) {
  u32 w[16];
  for (int i = 0; i < 16; i++) w[i] = load_be32(block + 4 * i);
  u32 a = hash[0], b = hash[1], c = hash[2], d = hash[3], e = hash[4];

  SHA1_TWENTY(sha1_ch, 0x5a827999, 0);
  SHA1_TWENTY(sha1_parity, 0x6ed9eba1, 20);
  SHA1_TWENTY(sha1_maj, 0x8f1bbcdc, 40);
  SHA1_TWENTY(sha1_parity, 0xca62c1d6, 60);

  hash[0] += a;
  hash[1] += b;
  hash[2] += c;
  hash[3] += d;
  hash[4] += e;
}

#undef SHA1_TWENTY
#undef SHA1_FIVE
#undef SHA1_STEP
#undef SHA1_W

}  // namespace

const digest_algorithm sha1_algorithm = {SHA1_HASH_WORDS, sha1_initial_hash, sha1_compress_block, true};

}  // namespace VekTls
