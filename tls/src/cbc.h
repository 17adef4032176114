// Cipher-block chaining over any block cipher, shared by DES, 3DES and AES.
// Templates so that the block function is inlined into the chaining loop.
//
// Only whole blocks are processed: a trailing partial block (a length that
// is not a multiple of the block size) is left alone rather than read past.
// Input and output may be the same buffer.
#pragma once
#include <cstring>

#include "kernel/VekTypes.h"

namespace VekTls {

// C_i = E(P_i ^ C_{i-1}), C_0 = iv; the iv ends as the last ciphertext block.
template <int BlockSize, typename EncryptBlock>
void cbc_encrypt(const u8* input, int length, u8* output, u8* iv, EncryptBlock encrypt_block) {
  for (; length >= BlockSize; input += BlockSize, output += BlockSize, length -= BlockSize) {
    u8 mixed[BlockSize];
    for (int i = 0; i < BlockSize; i++) mixed[i] = input[i] ^ iv[i];
    encrypt_block(mixed, output);
    std::memcpy(iv, output, BlockSize);
  }
}

// P_i = D(C_i) ^ C_{i-1}. The ciphertext block is saved before the output
// is written, because in-place decryption overwrites it.
template <int BlockSize, typename DecryptBlock>
void cbc_decrypt(const u8* input, int length, u8* output, u8* iv, DecryptBlock decrypt_block) {
  for (; length >= BlockSize; input += BlockSize, output += BlockSize, length -= BlockSize) {
    u8 cipher_block[BlockSize];
    u8 plain[BlockSize];
    std::memcpy(cipher_block, input, BlockSize);
    decrypt_block(cipher_block, plain);
    for (int i = 0; i < BlockSize; i++) output[i] = plain[i] ^ iv[i];
    std::memcpy(iv, cipher_block, BlockSize);
  }
}

}  // namespace VekTls
