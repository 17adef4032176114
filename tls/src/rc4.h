// RC4 stream cipher with the common cipher signature of cipher.h. The
// rc4_state goes in the iv slot: a zeroed state is keyed from `key` on first
// use and then carries the keystream position across calls, so one state
// serves one direction of a connection. Encryption and decryption are the
// same operation; input and output may be the same buffer.
#pragma once
#include "kernel/VekTypes.h"

namespace VekTls {

struct rc4_state {
  int i;       // keystream index i
  int j;       // keystream index j
  u8 S[256];   // the permutation; all zero until the state is keyed
};

// 5-byte (40-bit) key.
void rc4_40_encrypt(const u8* input, int length, u8* output, void* state, const u8* key);
// 16-byte (128-bit) key.
void rc4_128_encrypt(const u8* input, int length, u8* output, void* state, const u8* key);
// Decrypting is the same operation.
inline constexpr auto& rc4_40_decrypt = rc4_40_encrypt;
inline constexpr auto& rc4_128_decrypt = rc4_128_encrypt;

}  // namespace VekTls
