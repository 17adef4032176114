// DES and triple DES (EDE) in CBC mode, with the common cipher signature of
// cipher.h: `iv` points to 8 bytes updated in place to the last ciphertext
// block; `key` holds 8 bytes (DES) or 24 bytes K1 K2 K3 (3DES: encrypt with
// K1, decrypt with K2, encrypt with K3); `length` is a multiple of 8 (a
// trailing partial block is left untouched). Key parity bits are ignored.
#pragma once
#include "kernel/VekTypes.h"

namespace VekTls {

constexpr int DES_BLOCK_SIZE = 8;

void des_encrypt(const u8* input, int length, u8* output, void* iv, const u8* key);
void des_decrypt(const u8* input, int length, u8* output, void* iv, const u8* key);
void des3_encrypt(const u8* input, int length, u8* output, void* iv, const u8* key);
void des3_decrypt(const u8* input, int length, u8* output, void* iv, const u8* key);

}  // namespace VekTls
