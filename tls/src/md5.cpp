// MD5 block function (RFC 1321), fully unrolled.
#include "byte_order.h"
#include "digest_algorithm.h"

namespace VekTls {

namespace {

const u32 md5_initial_hash[MD5_HASH_WORDS] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};

inline u32 md5_f(u32 b, u32 c, u32 d) { return d ^ (b & (c ^ d)); }
inline u32 md5_g(u32 b, u32 c, u32 d) { return c ^ (d & (b ^ c)); }
inline u32 md5_h(u32 b, u32 c, u32 d) { return b ^ c ^ d; }
inline u32 md5_i(u32 b, u32 c, u32 d) { return c ^ (b | ~d); }

// One MD5 operation: a = b + ((a + f(b,c,d) + x + t) <<< s).
#define MD5_STEP(f, a, b, c, d, x, t, s) \
  a += f(b, c, d) + (x) + (t);           \
  a = rotl32(a, s) + b

void md5_compress_block(const u8* block, u32* hash) {
  u32 x[16];
  for (int i = 0; i < 16; i++) x[i] = load_le32(block + 4 * i);
  u32 a = hash[0], b = hash[1], c = hash[2], d = hash[3];

  MD5_STEP(md5_f, a, b, c, d, x[0], 0xd76aa478, 7);
  MD5_STEP(md5_f, d, a, b, c, x[1], 0xe8c7b756, 12);
  MD5_STEP(md5_f, c, d, a, b, x[2], 0x242070db, 17);
  MD5_STEP(md5_f, b, c, d, a, x[3], 0xc1bdceee, 22);
  MD5_STEP(md5_f, a, b, c, d, x[4], 0xf57c0faf, 7);
  MD5_STEP(md5_f, d, a, b, c, x[5], 0x4787c62a, 12);
  MD5_STEP(md5_f, c, d, a, b, x[6], 0xa8304613, 17);
  MD5_STEP(md5_f, b, c, d, a, x[7], 0xfd469501, 22);
  MD5_STEP(md5_f, a, b, c, d, x[8], 0x698098d8, 7);
  MD5_STEP(md5_f, d, a, b, c, x[9], 0x8b44f7af, 12);
  MD5_STEP(md5_f, c, d, a, b, x[10], 0xffff5bb1, 17);
  MD5_STEP(md5_f, b, c, d, a, x[11], 0x895cd7be, 22);
  MD5_STEP(md5_f, a, b, c, d, x[12], 0x6b901122, 7);
  MD5_STEP(md5_f, d, a, b, c, x[13], 0xfd987193, 12);
  MD5_STEP(md5_f, c, d, a, b, x[14], 0xa679438e, 17);
  MD5_STEP(md5_f, b, c, d, a, x[15], 0x49b40821, 22);

  MD5_STEP(md5_g, a, b, c, d, x[1], 0xf61e2562, 5);
  MD5_STEP(md5_g, d, a, b, c, x[6], 0xc040b340, 9);
  MD5_STEP(md5_g, c, d, a, b, x[11], 0x265e5a51, 14);
  MD5_STEP(md5_g, b, c, d, a, x[0], 0xe9b6c7aa, 20);
  MD5_STEP(md5_g, a, b, c, d, x[5], 0xd62f105d, 5);
  MD5_STEP(md5_g, d, a, b, c, x[10], 0x02441453, 9);
  MD5_STEP(md5_g, c, d, a, b, x[15], 0xd8a1e681, 14);
  MD5_STEP(md5_g, b, c, d, a, x[4], 0xe7d3fbc8, 20);
  MD5_STEP(md5_g, a, b, c, d, x[9], 0x21e1cde6, 5);
  MD5_STEP(md5_g, d, a, b, c, x[14], 0xc33707d6, 9);
  MD5_STEP(md5_g, c, d, a, b, x[3], 0xf4d50d87, 14);
  MD5_STEP(md5_g, b, c, d, a, x[8], 0x455a14ed, 20);
  MD5_STEP(md5_g, a, b, c, d, x[13], 0xa9e3e905, 5);
  MD5_STEP(md5_g, d, a, b, c, x[2], 0xfcefa3f8, 9);
  MD5_STEP(md5_g, c, d, a, b, x[7], 0x676f02d9, 14);
  MD5_STEP(md5_g, b, c, d, a, x[12], 0x8d2a4c8a, 20);

  MD5_STEP(md5_h, a, b, c, d, x[5], 0xfffa3942, 4);
  MD5_STEP(md5_h, d, a, b, c, x[8], 0x8771f681, 11);
  MD5_STEP(md5_h, c, d, a, b, x[11], 0x6d9d6122, 16);
  MD5_STEP(md5_h, b, c, d, a, x[14], 0xfde5380c, 23);
  MD5_STEP(md5_h, a, b, c, d, x[1], 0xa4beea44, 4);
  MD5_STEP(md5_h, d, a, b, c, x[4], 0x4bdecfa9, 11);
  MD5_STEP(md5_h, c, d, a, b, x[7], 0xf6bb4b60, 16);
  MD5_STEP(md5_h, b, c, d, a, x[10], 0xbebfbc70, 23);
  MD5_STEP(md5_h, a, b, c, d, x[13], 0x289b7ec6, 4);
  MD5_STEP(md5_h, d, a, b, c, x[0], 0xeaa127fa, 11);
  MD5_STEP(md5_h, c, d, a, b, x[3], 0xd4ef3085, 16);
  MD5_STEP(md5_h, b, c, d, a, x[6], 0x04881d05, 23);
  MD5_STEP(md5_h, a, b, c, d, x[9], 0xd9d4d039, 4);
  MD5_STEP(md5_h, d, a, b, c, x[12], 0xe6db99e5, 11);
  MD5_STEP(md5_h, c, d, a, b, x[15], 0x1fa27cf8, 16);
  MD5_STEP(md5_h, b, c, d, a, x[2], 0xc4ac5665, 23);

  MD5_STEP(md5_i, a, b, c, d, x[0], 0xf4292244, 6);
  MD5_STEP(md5_i, d, a, b, c, x[7], 0x432aff97, 10);
  MD5_STEP(md5_i, c, d, a, b, x[14], 0xab9423a7, 15);
  MD5_STEP(md5_i, b, c, d, a, x[5], 0xfc93a039, 21);
  MD5_STEP(md5_i, a, b, c, d, x[12], 0x655b59c3, 6);
  MD5_STEP(md5_i, d, a, b, c, x[3], 0x8f0ccc92, 10);
  MD5_STEP(md5_i, c, d, a, b, x[10], 0xffeff47d, 15);
  MD5_STEP(md5_i, b, c, d, a, x[1], 0x85845dd1, 21);
  MD5_STEP(md5_i, a, b, c, d, x[8], 0x6fa87e4f, 6);
  MD5_STEP(md5_i, d, a, b, c, x[15], 0xfe2ce6e0, 10);
  MD5_STEP(md5_i, c, d, a, b, x[6], 0xa3014314, 15);
  MD5_STEP(md5_i, b, c, d, a, x[13], 0x4e0811a1, 21);
  MD5_STEP(md5_i, a, b, c, d, x[4], 0xf7537e82, 6);
  MD5_STEP(md5_i, d, a, b, c, x[11], 0xbd3af235, 10);
  MD5_STEP(md5_i, c, d, a, b, x[2], 0x2ad7d2bb, 15);
  MD5_STEP(md5_i, b, c, d, a, x[9], 0xeb86d391, 21);

  hash[0] += a;
  hash[1] += b;
  hash[2] += c;
  hash[3] += d;
}

#undef MD5_STEP

}  // namespace

const digest_algorithm md5_algorithm = {MD5_HASH_WORDS, md5_initial_hash, md5_compress_block, false};

}  // namespace VekTls
