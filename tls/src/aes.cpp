// AES-128 and AES-256 in CBC mode: a table-driven cipher with 32-bit
// columns (four table lookups per column per round).
#include "aes.h"

#include "aes_tables.h"
#include "byte_order.h"
#include "cbc.h"

namespace VekTls {

namespace {

using namespace AesTables;

constexpr int AES_MAX_ROUND_KEY_WORDS = 60;  // 4 * (14 rounds + 1) for AES-256

struct aes_key_schedule {
  u32 words[AES_MAX_ROUND_KEY_WORDS];  // round keys, 4 words per round, big-endian columns
  int rounds;                          // 10 for AES-128, 14 for AES-256
};

u32 sub_word(u32 w) {
  return column(sbox[w >> 24], sbox[(w >> 16) & 0xff], sbox[(w >> 8) & 0xff], sbox[w & 0xff]);
}

// FIPS 197 KeyExpansion for a key of `key_words` words (4 or 8).
void expand_encrypt_key(const u8* key, int key_words, aes_key_schedule* schedule) {
  schedule->rounds = key_words + 6;
  const int total = 4 * (schedule->rounds + 1);
  u32* w = schedule->words;
  for (int i = 0; i < key_words; i++) w[i] = load_be32(key + 4 * i);
  u32 round_constant = 0x01;
  for (int i = key_words; i < total; i++) {
    u32 temp = w[i - 1];
    if (i % key_words == 0) {
      temp = sub_word(rotl32(temp, 8)) ^ (round_constant << 24);
      round_constant = gf_multiply(u8(round_constant), 2);
    } else if (key_words > 6 && i % key_words == 4) {
      temp = sub_word(temp);
    }
    w[i] = w[i - key_words] ^ temp;
  }
}

u32 inverse_mix_column(u32 w) {
  return td0[sbox[w >> 24]] ^ td1[sbox[(w >> 16) & 0xff]] ^ td2[sbox[(w >> 8) & 0xff]] ^ td3[sbox[w & 0xff]];
}

// Round keys for the equivalent inverse cipher: the encryption keys in
// reverse round order, InvMixColumns applied to all but the first and last.
void expand_decrypt_key(const u8* key, int key_words, aes_key_schedule* schedule) {
  aes_key_schedule forward;
  expand_encrypt_key(key, key_words, &forward);
  schedule->rounds = forward.rounds;
  for (int round = 0; round <= forward.rounds; round++) {
    for (int i = 0; i < 4; i++) {
      u32 w = forward.words[4 * (forward.rounds - round) + i];
      bool outer = round == 0 || round == forward.rounds;
      schedule->words[4 * round + i] = outer ? w : inverse_mix_column(w);
    }
  }
}

// One full encryption round: each output column takes one byte from each
// input column along the ShiftRows diagonal.
#define AES_ENCRYPT_COLUMN(a, b, c, d, k) \
  (te0[(a) >> 24] ^ te1[((b) >> 16) & 0xff] ^ te2[((c) >> 8) & 0xff] ^ te3[(d)&0xff] ^ (k))
#define AES_FINAL_ENCRYPT_COLUMN(a, b, c, d, k) \
  (column(sbox[(a) >> 24], sbox[((b) >> 16) & 0xff], sbox[((c) >> 8) & 0xff], sbox[(d)&0xff]) ^ (k))
#define AES_DECRYPT_COLUMN(a, b, c, d, k) \
  (td0[(a) >> 24] ^ td1[((b) >> 16) & 0xff] ^ td2[((c) >> 8) & 0xff] ^ td3[(d)&0xff] ^ (k))
#define AES_FINAL_DECRYPT_COLUMN(a, b, c, d, k)                                                          \
  (column(inverse_sbox[(a) >> 24], inverse_sbox[((b) >> 16) & 0xff], inverse_sbox[((c) >> 8) & 0xff], \
          inverse_sbox[(d)&0xff]) ^                                                                    \
   (k))

void aes_encrypt_block(const aes_key_schedule& schedule, const u8* input, u8* output) {
  const u32* rk = schedule.words;
  u32 s0 = load_be32(input) ^ rk[0], s1 = load_be32(input + 4) ^ rk[1];
  u32 s2 = load_be32(input + 8) ^ rk[2], s3 = load_be32(input + 12) ^ rk[3];
  for (int round = 1; round < schedule.rounds; round++) {
    rk += 4;
    u32 t0 = AES_ENCRYPT_COLUMN(s0, s1, s2, s3, rk[0]);
    u32 t1 = AES_ENCRYPT_COLUMN(s1, s2, s3, s0, rk[1]);
    u32 t2 = AES_ENCRYPT_COLUMN(s2, s3, s0, s1, rk[2]);
    u32 t3 = AES_ENCRYPT_COLUMN(s3, s0, s1, s2, rk[3]);
    s0 = t0, s1 = t1, s2 = t2, s3 = t3;
  }
  rk += 4;
  store_be32(output, AES_FINAL_ENCRYPT_COLUMN(s0, s1, s2, s3, rk[0]));
  store_be32(output + 4, AES_FINAL_ENCRYPT_COLUMN(s1, s2, s3, s0, rk[1]));
  store_be32(output + 8, AES_FINAL_ENCRYPT_COLUMN(s2, s3, s0, s1, rk[2]));
  store_be32(output + 12, AES_FINAL_ENCRYPT_COLUMN(s3, s0, s1, s2, rk[3]));
}

void aes_decrypt_block(const aes_key_schedule& schedule, const u8* input, u8* output) {
  const u32* rk = schedule.words;
  u32 s0 = load_be32(input) ^ rk[0], s1 = load_be32(input + 4) ^ rk[1];
  u32 s2 = load_be32(input + 8) ^ rk[2], s3 = load_be32(input + 12) ^ rk[3];
  for (int round = 1; round < schedule.rounds; round++) {
    rk += 4;
    u32 t0 = AES_DECRYPT_COLUMN(s0, s3, s2, s1, rk[0]);
    u32 t1 = AES_DECRYPT_COLUMN(s1, s0, s3, s2, rk[1]);
    u32 t2 = AES_DECRYPT_COLUMN(s2, s1, s0, s3, rk[2]);
    u32 t3 = AES_DECRYPT_COLUMN(s3, s2, s1, s0, rk[3]);
    s0 = t0, s1 = t1, s2 = t2, s3 = t3;
  }
  rk += 4;
  store_be32(output, AES_FINAL_DECRYPT_COLUMN(s0, s3, s2, s1, rk[0]));
  store_be32(output + 4, AES_FINAL_DECRYPT_COLUMN(s1, s0, s3, s2, rk[1]));
  store_be32(output + 8, AES_FINAL_DECRYPT_COLUMN(s2, s1, s0, s3, rk[2]));
  store_be32(output + 12, AES_FINAL_DECRYPT_COLUMN(s3, s2, s1, s0, rk[3]));
}

void aes_cbc_encrypt(const u8* input, int length, u8* output, void* iv, const u8* key, int key_words) {
  aes_key_schedule schedule;
  expand_encrypt_key(key, key_words, &schedule);
  cbc_encrypt<AES_BLOCK_SIZE>(input, length, output, static_cast<u8*>(iv),
                              [&schedule](const u8* in, u8* out) { aes_encrypt_block(schedule, in, out); });
}

void aes_cbc_decrypt(const u8* input, int length, u8* output, void* iv, const u8* key, int key_words) {
  aes_key_schedule schedule;
  expand_decrypt_key(key, key_words, &schedule);
  cbc_decrypt<AES_BLOCK_SIZE>(input, length, output, static_cast<u8*>(iv),
                              [&schedule](const u8* in, u8* out) { aes_decrypt_block(schedule, in, out); });
}

}  // namespace

void aes_128_encrypt(const u8* input, int length, u8* output, void* iv, const u8* key) {
  aes_cbc_encrypt(input, length, output, iv, key, 4);
}

void aes_128_decrypt(const u8* input, int length, u8* output, void* iv, const u8* key) {
  aes_cbc_decrypt(input, length, output, iv, key, 4);
}

void aes_256_encrypt(const u8* input, int length, u8* output, void* iv, const u8* key) {
  aes_cbc_encrypt(input, length, output, iv, key, 8);
}

void aes_256_decrypt(const u8* input, int length, u8* output, void* iv, const u8* key) {
  aes_cbc_decrypt(input, length, output, iv, key, 8);
}

}  // namespace VekTls
