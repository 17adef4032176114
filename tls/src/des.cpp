// DES and 3DES-EDE in CBC mode. The round function uses combined
// S-box/permutation tables; the other permutations are done bit by bit.
#include "des.h"

#include "byte_order.h"
#include "cbc.h"
#include "des_tables.h"

namespace VekTls {

namespace {

using namespace DesTables;

struct des_key_schedule {
  u64 subkeys[16];  // 48-bit round keys in the order the rounds use them
};

u64 load_be64(const u8* p) { return (u64(load_be32(p)) << 32) | load_be32(p + 4); }

void store_be64(u8* p, u64 v) {
  store_be32(p, u32(v >> 32));
  store_be32(p + 4, u32(v));
}

u32 rotate_28(u32 half, int n) { return ((half << n) | (half >> (28 - n))) & 0x0fffffff; }

// Round keys from the 8 key bytes; reversed for decryption.
void make_des_schedule(const u8* key, bool for_decryption, des_key_schedule* schedule) {
  u64 chosen = permute(load_be64(key), 64, key_choice_1, 56);
  u32 c = u32(chosen >> 28) & 0x0fffffff, d = u32(chosen) & 0x0fffffff;
  for (int round = 0; round < 16; round++) {
    c = rotate_28(c, key_shifts[round]);
    d = rotate_28(d, key_shifts[round]);
    u64 subkey = permute((u64(c) << 28) | d, 56, key_choice_2, 48);
    schedule->subkeys[for_decryption ? 15 - round : round] = subkey;
  }
}

// f(R, K): expansion, key mixing, S-boxes and P. The expansion's i-th
// 6-bit group is bits 4i .. 4i+5 of R (numbered from 1, bit 0 being bit 32),
// which is the top of R rotated left by 4i - 1.
u32 des_round_function(u32 r, u64 subkey) {
  u32 result = 0;
  for (int box = 0; box < 8; box++) {
    u32 expanded = rotl32(r, (4 * box + 31) & 31) >> 26;
    u32 key_bits = u32(subkey >> (42 - 6 * box)) & 0x3f;
    result ^= sp_table[box][expanded ^ key_bits];
  }
  return result;
}

void des_block(const des_key_schedule& schedule, const u8* input, u8* output) {
  u64 block = permute(load_be64(input), 64, initial_permutation, 64);
  u32 left = u32(block >> 32), right = u32(block);
  for (int round = 0; round < 16; round++) {
    u32 next = left ^ des_round_function(right, schedule.subkeys[round]);
    left = right;
    right = next;
  }
  // The halves are swapped once more before the final permutation.
  store_be64(output, permute((u64(right) << 32) | left, 64, final_permutation.data(), 64));
}

// Three single-DES schedules applied in turn (E-D-E or, reversed, D-E-D).
struct des3_key_schedule {
  des_key_schedule stages[3];
};

void des3_block(const des3_key_schedule& schedule, const u8* input, u8* output) {
  u8 middle[DES_BLOCK_SIZE];
  des_block(schedule.stages[0], input, output);
  des_block(schedule.stages[1], output, middle);
  des_block(schedule.stages[2], middle, output);
}

void make_des3_schedule(const u8* key, bool for_decryption, des3_key_schedule* schedule) {
  for (int stage = 0; stage < 3; stage++) {
    // Encryption runs E(K1) D(K2) E(K3); decryption D(K3) E(K2) D(K1).
    int key_index = for_decryption ? 2 - stage : stage;
    bool decrypting_stage = (stage == 1) != for_decryption;
    make_des_schedule(key + 8 * key_index, decrypting_stage, &schedule->stages[stage]);
  }
}

}  // namespace

void des_encrypt(const u8* input, int length, u8* output, void* iv, const u8* key) {
  des_key_schedule schedule;
  make_des_schedule(key, false, &schedule);
  cbc_encrypt<DES_BLOCK_SIZE>(input, length, output, static_cast<u8*>(iv),
                              [&schedule](const u8* in, u8* out) { des_block(schedule, in, out); });
}

void des_decrypt(const u8* input, int length, u8* output, void* iv, const u8* key) {
  des_key_schedule schedule;
  make_des_schedule(key, true, &schedule);
  cbc_decrypt<DES_BLOCK_SIZE>(input, length, output, static_cast<u8*>(iv),
                              [&schedule](const u8* in, u8* out) { des_block(schedule, in, out); });
}

void des3_encrypt(const u8* input, int length, u8* output, void* iv, const u8* key) {
  des3_key_schedule schedule;
  make_des3_schedule(key, false, &schedule);
  cbc_encrypt<DES_BLOCK_SIZE>(input, length, output, static_cast<u8*>(iv),
                              [&schedule](const u8* in, u8* out) { des3_block(schedule, in, out); });
}

void des3_decrypt(const u8* input, int length, u8* output, void* iv, const u8* key) {
  des3_key_schedule schedule;
  make_des3_schedule(key, true, &schedule);
  cbc_decrypt<DES_BLOCK_SIZE>(input, length, output, static_cast<u8*>(iv),
                              [&schedule](const u8* in, u8* out) { des3_block(schedule, in, out); });
}

}  // namespace VekTls
