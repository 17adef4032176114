// Big numbers against Python's integers: both layers' arithmetic, modular
// exponentiation, inverse, gcd and the primality test over the cases that
// huge_vectors.py prints (operands of 0 to 4096 bits).
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>

#include "huge_test_support.h"
#include "huge_words.h"

using namespace VekTls;
using namespace VekTlsTest;

namespace {

typedef std::vector<std::string> Case;  // operation, operands, expected results

std::vector<Case> load_cases() {
  std::string command = "python3 " VEK_SOURCE_DIR "/tls/tests/huge_vectors.py";
  FILE* pipe = popen(command.c_str(), "r");
  std::vector<Case> cases;
  if (!pipe) return cases;
  char line[8192];
  while (fgets(line, sizeof line, pipe)) {
    std::istringstream fields(line);
    Case c;
    for (std::string field; fields >> field;) c.push_back(field);
    if (!c.empty()) cases.push_back(c);
  }
  pclose(pipe);
  return cases;
}

const std::vector<Case>& cases() {
  static const std::vector<Case> all = load_cases();
  return all;
}

std::string describe(const Case& c) {
  std::string text;
  for (const std::string& field : c) text += field.substr(0, 40) + " ";
  return text;
}

// Runs `check` on every case of the operation; at least one must exist.
template <typename Check>
void for_each_case(const std::string& operation, Check check) {
  int seen = 0;
  for (const Case& c : cases()) {
    if (c[0] != operation) continue;
    SCOPED_TRACE(describe(c));
    check(c);
    seen++;
  }
  EXPECT_GT(seen, 0) << "no " << operation << " cases: is python3 there?";
}

typedef int (*LimbOperation)(huge*, const huge*, const huge*);
typedef void (*ByteOperation)(huge*, const huge*);

void check_binary(const Case& c, LimbOperation limb_op, ByteOperation byte_op) {
  Limbs a(c[1]), b(c[2]), x;
  ASSERT_EQ(limb_op(&x, &a, &b), HUGE_OK);
  EXPECT_EQ(x.hex(), c[3]);
  ASSERT_EQ(limb_op(&a, &a, &b), HUGE_OK);  // the result over its first operand
  EXPECT_EQ(a.hex(), c[3]);
  Bytes p(c[1]), q(c[2]);
  byte_op(&p, &q);
  EXPECT_EQ(p.hex(), c[3]);
}

}  // namespace

TEST(HugeCrossCheck, AddSubtractMultiplyInBothLayers) {
  for_each_case("add", [](const Case& c) { check_binary(c, add_huge, huge_add); });
  for_each_case("sub", [](const Case& c) { check_binary(c, sub_huge, huge_subtract); });
  for_each_case("mul", [](const Case& c) { check_binary(c, mul_huge, huge_multiply); });
}

TEST(HugeCrossCheck, DivisionQuotientRemainderAndModInBothLayers) {
  for_each_case("div", [](const Case& c) {
    Limbs a(c[1]), b(c[2]), q, r;
    ASSERT_EQ(div_huge(&q, &r, &a, &b), HUGE_OK);
    EXPECT_EQ(q.hex(), c[3]);
    EXPECT_EQ(r.hex(), c[4]);
    Bytes dividend(c[1]), divisor(c[2]), quotient;
    huge_divide(&dividend, &divisor, &quotient);
    EXPECT_EQ(quotient.hex(), c[3]);
    EXPECT_EQ(dividend.hex(), c[4]);
    EXPECT_EQ(divisor.hex(), Bytes(c[2]).hex());
  });
  for_each_case("mod", [](const Case& c) {
    Limbs a(c[1]), b(c[2]), r;
    ASSERT_EQ(mod_huge(&r, &a, &b), HUGE_OK);
    EXPECT_EQ(r.hex(), c[3]);
  });
  for_each_case("gcd", [](const Case& c) {
    Limbs a(c[1]), b(c[2]), g;
    ASSERT_EQ(gcd_huge(&g, &a, &b), HUGE_OK);
    EXPECT_EQ(g.hex(), c[3]);
  });
}

TEST(HugeCrossCheck, ModularPowerAndInverseInBothLayers) {
  for (bool fast_kernel : {true, false}) {
    SCOPED_TRACE(fast_kernel ? "MULX/ADX kernel where available" : "portable kernel");
    bool was = words::use_fast_montgomery(fast_kernel);
    for_each_case("expmod", [](const Case& c) {
      Limbs a(c[1]), e(c[2]), n(c[3]), x, cache;
      ASSERT_EQ(exp_mod(&x, &a, &e, &n, &cache), HUGE_OK);
      EXPECT_EQ(x.hex(), c[4]);
      ASSERT_EQ(exp_mod(&x, &a, &e, &n, &cache), HUGE_OK);  // again with the cached R^2
      EXPECT_EQ(x.hex(), c[4]);
      Bytes base(c[1]), exponent(c[2]), modulus(c[3]), result;
      huge_mod_pow(&base, &exponent, &modulus, &result);
      EXPECT_EQ(result.hex(), c[4]);
      EXPECT_EQ(base.hex(), Bytes(c[1]).hex());
    });
    words::use_fast_montgomery(was);
  }
  for_each_case("inv", [](const Case& c) {
    Limbs a(c[1]), n(c[2]), x;
    int status = inv_mod(&x, &a, &n);
    EXPECT_EQ(status, c[3] == "-" ? HUGE_ERR_NOT_ACCEPTABLE : HUGE_OK);
    if (c[3] == "-") return;
    EXPECT_EQ(x.hex(), c[3]);
    Bytes z(c[1]), modulus(c[2]);
    huge_mod_inverse(&z, &modulus);
    EXPECT_EQ(z.hex(), c[3]);
  });
}

TEST(HugeCrossCheck, PrimesCompositesAndCarmichaelNumbers) {
  for_each_case("prime", [](const Case& c) {
    Limbs x(c[1]);
    u64 seed = 0x9E3779B97F4A7C15ull;
    EXPECT_EQ(is_prime_huge(&x, test_random, &seed), c[2] == "1" ? HUGE_OK : HUGE_ERR_NOT_ACCEPTABLE);
  });
}
