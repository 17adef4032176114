// AES-CBC tests: the SP 800-38A CBC examples and the FIPS 197 block example.
#include <gtest/gtest.h>

#include "aes.h"
#include "cipher_check.h"

using namespace VekTls;
using namespace VekTlsTest;

namespace {

const std::string sp800_iv = "000102030405060708090a0b0c0d0e0f";
const std::string sp800_plain =
    "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
    "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710";

}  // namespace

TEST(Aes, Cbc128Sp800_38a) {
  CbcVector v{"2b7e151628aed2a6abf7158809cf4f3c", sp800_iv, sp800_plain,
              "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
              "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7"};
  check_cbc(aes_128_encrypt, aes_128_decrypt, v, 16);
  check_cbc(aes_128_encrypt, aes_128_decrypt, v, 48);
}

TEST(Aes, Cbc256Sp800_38a) {
  CbcVector v{"603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4", sp800_iv, sp800_plain,
              "f58c4c04d6e5f1ba779eabfb5f7bfbd69cfc4e967edb808d679f777bc6702c7d"
              "39f23369a9d9bacfa530e26304231461b2eb05e2c39be9fcda6c19078c6a9d1b"};
  check_cbc(aes_256_encrypt, aes_256_decrypt, v, 32);
}

// With a zero IV one CBC block is the plain block cipher.
TEST(Aes, Fips197SingleBlocks) {
  const std::string zero_iv(32, '0'), plain = "00112233445566778899aabbccddeeff";
  check_cbc(aes_128_encrypt, aes_128_decrypt,
            {"000102030405060708090a0b0c0d0e0f", zero_iv, plain, "69c4e0d86a7b0430d8cdb78070b4c55a"}, 0);
  check_cbc(aes_256_encrypt, aes_256_decrypt,
            {"000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f", zero_iv, plain,
             "8ea2b7ca516745bfeafc49904b496089"},
            16);
}

TEST(Aes, PartialTrailingBlockIsLeftAlone) {
  check_partial_block_untouched(aes_128_encrypt, 16, 16);
  check_partial_block_untouched(aes_128_decrypt, 16, 16);
  check_partial_block_untouched(aes_256_encrypt, 32, 16);
  check_partial_block_untouched(aes_256_decrypt, 32, 16);
}
