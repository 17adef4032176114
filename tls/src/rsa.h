// RSA with PKCS#1 version 1.5 block formatting, and the readers that turn
// DER key files into an rsa_key: PKCS#1 RSAPrivateKey and pass-phrase
// encrypted PKCS#8 (pbeWithMD5AndDES-CBC) EncryptedPrivateKeyInfo.
//
// Every RSA block is exactly k bytes, k being the modulus's byte size as the
// huge holds it:  00 | block type | padding | 00 | data.  Type 2 (encryption)
// pads with random non-zero bytes, type 1 (signing) with 0xFF.
#pragma once
#include "huge.h"
#include "kernel/VekTypes.h"

namespace VekTls {

struct rsa_key {
  huge* modulus;   // n (a vekMalloc block owned by the key's holder)
  huge* exponent;  // public exponent to encrypt or check, private to decrypt or sign
};

// Formats `input` chunk by chunk (at most k - 11 bytes each) as blocks of
// `block_type` and raises each to the key's exponent. *output receives a
// vekMalloc block (released with vekFree) of the results, k bytes per chunk;
// returns its length (0 with *output null for empty input), or -1 when the
// key is unusable (modulus under 12 bytes or even) or no random bytes could
// be had.
int rsa_compute(const u8* input, int len, u8** output, rsa_key* key, u8 block_type);
int rsa_encrypt(const u8* input, int len, u8** output, rsa_key* public_key);  // block type 2
int rsa_sign(const u8* input, int len, u8** output, rsa_key* private_key);    // block type 1

// Inverse of rsa_compute for either block type: decryption with the private
// key, opening a signature with the public key. Each k-byte block must be
// 00, type 1 or 2, at least 8 padding bytes (all 0xFF for type 1) and a
// zero separator. Returns the number of data bytes in *output, or -1 with a
// message on standard error (what earlier blocks produced stays in *output
// for the caller to free).
int rsa_decrypt(const u8* input, int len, u8** output, rsa_key* key);

// c = m^e mod n by repeated multiplication (c must hold no array).
void rsa_power_naive(huge* m, huge* e, huge* n, huge* c);

// Reads a PKCS#1 RSAPrivateKey into key->modulus and key->exponent (the
// private exponent), allocating both. 0 on success, 1 when the DER is not
// that structure (the key is then left without numbers).
int parse_private_key(rsa_key* key, const u8* der, int len);

// Reads a pbeWithMD5AndDES-CBC EncryptedPrivateKeyInfo holding an RSA key.
// 0 on success, 1 on failure (with a message on standard error).
int parse_pkcs8_private_key(rsa_key* key, const u8* der, int len, const char* pass_phrase);

// Releases the key's two numbers and their blocks; the pointers become null.
void free_rsa_key(rsa_key* key);

}  // namespace VekTls
