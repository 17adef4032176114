// TLS 1.0 PRF tests. The expected bytes were produced once with the openssl
// command line (kdf TLS1-PRF, digest MD5-SHA1) and are kept here.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "prf.h"
#include "test_bytes.h"

using namespace VekTls;
using namespace VekTlsTest;

namespace {

std::vector<u8> run_prf(const std::vector<u8>& secret, const std::string& label, const std::vector<u8>& seed,
                        int length) {
  // One byte past the requested length shows that nothing more is written.
  std::vector<u8> output(length + 1, 0xee);
  prf(secret.data(), int(secret.size()), text_bytes(label), int(label.size()), seed.data(), int(seed.size()),
      output.data(), length);
  EXPECT_EQ(output.back(), 0xee) << "written past output_length";
  output.pop_back();
  return output;
}

std::vector<u8> counting(int from, int count) {
  std::vector<u8> bytes;
  for (int i = 0; i < count; i++) bytes.push_back(u8(from + i));
  return bytes;
}

}  // namespace

// A 25-byte secret: the middle byte belongs to both halves.
TEST(Prf, OddSecretMatchesReferenceAtSeveralLengths) {
  std::vector<u8> secret = counting(1, 25);
  std::vector<u8> seed = counting(0xa0, 32);
  const std::string expected =
      "babdd862f389ae5e69fb2032acaa3ab892be7a31a1eace0c087f83dc134378fc8a3e7e69eb7a24003744c74cff37b348"
      "3bc3d2e27f24b1d18d70e788c6834b8609003b0216154ebb9ffa931791d5bd8e8626a3509bbaaca1db92c7e27b33e6ab"
      "28723353";
  EXPECT_EQ(to_hex(run_prf(secret, "key expansion", seed, 100)), expected);
  EXPECT_EQ(to_hex(run_prf(secret, "key expansion", seed, 13)), expected.substr(0, 26));
  EXPECT_EQ(to_hex(run_prf(secret, "key expansion", seed, 1)), expected.substr(0, 2));
}

TEST(Prf, MasterSecretShapeMatchesReference) {
  std::vector<u8> pre_master(48, 0xab);
  EXPECT_EQ(to_hex(run_prf(pre_master, "master secret", counting(0, 64), 48)),
            "6d0dcfe28ea20bf605467869e15f1a37d1cb3f3c31efe5a8d888b67a107783e7"
            "fecfb6aee6929848e8ac328c146cf811");
}

TEST(Prf, ZeroLengthWritesNothing) { EXPECT_TRUE(run_prf(counting(1, 8), "x", counting(0, 4), 0).empty()); }

// An empty secret gives both halves nothing; a one-byte secret lends its
// byte to both. Reference values from a Python rendering of the function.
TEST(Prf, EmptyAndOneByteSecretsMatchReference) {
  EXPECT_EQ(to_hex(run_prf({}, "master secret", counting(0, 16), 40)),
            "cb7423c8eb889086b2c45382677cf46b4c5d4d86fa0d6688ae2f4c1773efb345a34ceee9a0d54ceb");
  EXPECT_EQ(to_hex(run_prf({0x5a}, "master secret", counting(0, 16), 40)),
            "175b5f28504b58d2683ea6c416bf9c65e510cfaad0fa477ac9f6385f4ca535254b7c3421bcb757df");
}
