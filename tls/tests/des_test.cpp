// DES and 3DES tests: the FIPS 81 CBC example, single-block known answers
// and the SP 800-67 triple-DES example.
#include <gtest/gtest.h>

#include "cipher_check.h"
#include "des.h"

using namespace VekTls;
using namespace VekTlsTest;

namespace {

const std::string zero_iv(16, '0');
const std::string fox = "5468652071756663" "6b2062726f776e20" "666f78206a756d70";  // "The qufck brown fox jump"
const std::string des3_keys = "0123456789abcdef" "23456789abcdef01" "456789abcdef0123";

}  // namespace

TEST(Des, Fips81CbcExample) {
  check_cbc(des_encrypt, des_decrypt,
            {"0123456789abcdef", "1234567890abcdef",
             "4e6f77206973207468652074696d6520666f7220616c6c20",  // "Now is the time for all "
             "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6"},
            8);
}

// With a zero IV one CBC block is the plain block cipher.
TEST(Des, SingleBlockKnownAnswers) {
  check_cbc(des_encrypt, des_decrypt, {"133457799bbcdff1", zero_iv, "0123456789abcdef", "85e813540f0ab405"}, 0);
  check_cbc(des_encrypt, des_decrypt, {"0e329232ea6d0d73", zero_iv, "8787878787878787", "0000000000000000"}, 8);
  // Parity bits (the low bit of each key byte) do not matter.
  check_cbc(des_encrypt, des_decrypt, {"123456789abcdef0", zero_iv, "0123456789abcdef", "85e813540f0ab405"}, 0);
}

TEST(Des3, Sp800_67Example) {
  // Electronic-codebook answer, block by block, through one-block CBC calls.
  const std::string ecb = "a826fd8ce53b855f" "cce21c8112256fe6" "68d5c05dd9b6b900";
  for (int block = 0; block < 3; block++)
    check_cbc(des3_encrypt, des3_decrypt, {des3_keys, zero_iv, fox.substr(16 * block, 16), ecb.substr(16 * block, 16)},
              0);
}

// Chained answer from the openssl command line (des-ede3-cbc).
TEST(Des3, CbcChain) {
  check_cbc(des3_encrypt, des3_decrypt,
            {des3_keys, "1234567890abcdef", fox, "38413d4ba2325cf1141f707471ac2ced57db530f0123b5ac"}, 16);
}

// With K1 = K2 = K3 triple DES is single DES.
TEST(Des3, EqualKeysReduceToDes) {
  check_cbc(des3_encrypt, des3_decrypt,
            {"0123456789abcdef0123456789abcdef0123456789abcdef", "1234567890abcdef",
             "4e6f77206973207468652074696d6520666f7220616c6c20",
             "e5c7cdde872bf27c43e934008c389c0f683788499a7c05f6"},
            16);
}

TEST(Des, PartialTrailingBlockIsLeftAlone) {
  check_partial_block_untouched(des_encrypt, 8, 8);
  check_partial_block_untouched(des_decrypt, 8, 8);
  check_partial_block_untouched(des3_encrypt, 24, 8);
  check_partial_block_untouched(des3_decrypt, 24, 8);
}
