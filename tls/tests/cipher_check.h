// Shared checks for the CBC ciphers: known answers in one call, the same
// answer over two calls (the IV carries the chain), decryption in place.
#pragma once
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cipher.h"
#include "test_bytes.h"

namespace VekTlsTest {

struct CbcVector {
  std::string key;
  std::string iv;
  std::string plain;
  std::string cipher;
};

inline std::vector<u8> run_cipher(VekTls::cipher_function function, const std::vector<u8>& key,
                                  std::vector<u8>& iv, const std::vector<u8>& input) {
  std::vector<u8> output(input.size());
  function(input.data(), int(input.size()), output.data(), iv.data(), key.data());
  return output;
}

// Checks encryption and decryption of `v`, whole and split after `split`
// bytes, and that the IV ends as the last ciphertext block.
inline void check_cbc(VekTls::cipher_function encrypt, VekTls::cipher_function decrypt, const CbcVector& v,
                      size_t split) {
  std::vector<u8> key = from_hex(v.key), plain = from_hex(v.plain), cipher = from_hex(v.cipher);
  size_t block = from_hex(v.iv).size();
  std::vector<u8> iv = from_hex(v.iv);
  EXPECT_EQ(to_hex(run_cipher(encrypt, key, iv, plain)), v.cipher);
  EXPECT_EQ(to_hex(iv), v.cipher.substr(v.cipher.size() - 2 * block)) << "IV after encryption";
  iv = from_hex(v.iv);
  EXPECT_EQ(to_hex(run_cipher(decrypt, key, iv, cipher)), v.plain);
  EXPECT_EQ(to_hex(iv), v.cipher.substr(v.cipher.size() - 2 * block)) << "IV after decryption";

  iv = from_hex(v.iv);
  std::vector<u8> first(plain.begin(), plain.begin() + split), second(plain.begin() + split, plain.end());
  std::string chained = to_hex(run_cipher(encrypt, key, iv, first));
  chained += to_hex(run_cipher(encrypt, key, iv, second));
  EXPECT_EQ(chained, v.cipher) << "two encryption calls";

  iv = from_hex(v.iv);
  std::vector<u8> in_place = cipher;
  decrypt(in_place.data(), int(in_place.size()), in_place.data(), iv.data(), key.data());
  EXPECT_EQ(to_hex(in_place), v.plain) << "in-place decryption";
}

// A trailing partial block is neither read past nor written.
inline void check_partial_block_untouched(VekTls::cipher_function function, size_t key_size, size_t block) {
  std::vector<u8> key(key_size, 7), iv(block, 1), input(block + 3, 9), output(block + 3, 0xee);
  function(input.data(), int(input.size()), output.data(), iv.data(), key.data());
  for (size_t i = block; i < output.size(); i++) EXPECT_EQ(output[i], 0xee) << "byte " << i;
}

}  // namespace VekTlsTest
