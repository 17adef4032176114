// The common signature of the record ciphers (DES, 3DES, AES in CBC mode and
// RC4): the cipher-suite table holds pointers of this type.
#pragma once
#include "kernel/VekTypes.h"

namespace VekTls {

// (input, length, output, iv, key). For the CBC ciphers `iv` is the chaining
// block, updated in place to the last ciphertext block so that successive
// calls continue one chain; for RC4 it is the rc4_state. Input and output
// may be the same buffer.
typedef void (*cipher_function)(const u8* input, int length, u8* output, void* iv, const u8* key);

}  // namespace VekTls
