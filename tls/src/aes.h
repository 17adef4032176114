// AES-128 and AES-256 (FIPS 197) in CBC mode, with the common cipher
// signature of cipher.h: `iv` points to 16 bytes updated in place to the last
// ciphertext block; `key` holds 16 or 32 bytes; `length` is a multiple of 16
// (a trailing partial block is left untouched).
#pragma once
#include "kernel/VekTypes.h"

namespace VekTls {

constexpr int AES_BLOCK_SIZE = 16;

void aes_128_encrypt(const u8* input, int length, u8* output, void* iv, const u8* key);
void aes_128_decrypt(const u8* input, int length, u8* output, void* iv, const u8* key);
void aes_256_encrypt(const u8* input, int length, u8* output, void* iv, const u8* key);
void aes_256_decrypt(const u8* input, int length, u8* output, void* iv, const u8* key);

}  // namespace VekTls
