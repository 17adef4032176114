// Big-number edge cases: normal forms, signs of zero, sizes of results,
// status codes and limits, text and file forms, and the guarded inputs
// (zero divisors, short buffers, negative operands, small primes).
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <functional>

#include "huge_test_support.h"

using namespace VekTls;
using namespace VekTlsTest;

namespace {

// Raw bytes of a number and its sign bit: "size:bytes/sign".
std::string raw(const huge& h) { return std::to_string(h.size) + ":" + to_hex(h.rep, h.size) + "/" + std::to_string(h.sign); }

int failing_random(void*, u8*, size_t) { return -99; }

typedef void (*ByteOperation)(huge*, const huge*);

}  // namespace

TEST(HugeFirstLayer, SetLoadStoreAndContractKeepNormalForm) {
  Bytes zero, big, wide, loaded, empty, zeros;
  huge_set_uint(&zero, 0);
  huge_set_uint(&big, 0x100);
  huge_set_uint(&wide, 1u << 24);
  EXPECT_EQ(raw(zero.h) + " " + raw(big.h) + " " + raw(wide.h), "1:00/0 2:0100/0 4:01000000/0");
  const u8 bytes[] = {0, 0, 1, 2};
  huge_load_bytes(&loaded, bytes, 4);
  huge_load_bytes(&empty, bytes, 0);
  huge_load_bytes(&zeros, bytes, 2);
  EXPECT_EQ(raw(loaded.h) + " " + raw(empty.h) + " " + raw(zeros.h), "2:0102/0 1:00/0 1:00/0");

  u8 buffer[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  huge_store_bytes(&loaded, buffer, 4);
  EXPECT_EQ(to_hex(buffer, 4), "aaaa0102");
  huge_store_bytes(&loaded, buffer, 1);  // too long: nothing written
  EXPECT_EQ(to_hex(buffer, 4), "aaaa0102");

  u8 padded_bytes[3] = {0, 0, 5};
  huge padded_source = {0, 3, padded_bytes};
  Bytes padded, all_zero;
  huge_copy(&padded, &padded_source);
  huge_contract(&padded);
  padded_source.size = 2;
  huge_copy(&all_zero, &padded_source);
  huge_contract(&all_zero);
  EXPECT_EQ(raw(padded.h) + " " + raw(all_zero.h), "1:05/0 1:00/0");
}

TEST(HugeFirstLayer, SignsAndSizesOfSumsDifferencesAndComparisons) {
  struct Case {
    const char *a, *b;
    ByteOperation op;
    const char* expected;
  } cases[] = {
      {"FF", "1", huge_add, "2:0100/0"},     {"100", "1", huge_subtract, "1:ff/0"},
      {"5", "5", huge_subtract, "1:00/1"},   {"5", "-5", huge_add, "1:00/1"},
      {"-3", "5", huge_add, "1:02/0"},       {"-5", "-5", huge_subtract, "1:00/0"},
      {"-5", "0", huge_multiply, "1:00/1"},  {"3", "-FF", huge_multiply, "2:02fd/1"},
  };
  for (const Case& c : cases) {
    Bytes a(c.a), b(c.b);
    c.op(&a, &b);
    EXPECT_EQ(raw(a.h), c.expected) << c.a << " " << c.b;
  }
  Bytes one("1"), five("5"), minus_seven("-7");
  huge wide = {0, 2, nullptr};
  u8 wide_bytes[2] = {0, 0xFF};
  wide.rep = wide_bytes;
  EXPECT_EQ(huge_compare(&wide, &one.h), 1);  // sizes decide
  EXPECT_EQ(huge_compare(&five, &minus_seven), -1);  // signs ignored
}

TEST(HugeFirstLayer, DivisionRemainderQuotientAndZeroDivisor) {
  struct Case {
    const char *dividend, *divisor, *quotient, *remainder;
  } cases[] = {
      {"100", "80", "1:02/0", "1:00/0"}, {"1FF", "2", "1:ff/0", "1:01/0"}, {"7", "2", "1:03/0", "1:01/0"},
      {"3", "5", "1:00/0", "1:03/0"},    {"-7", "2", "1:03/1", "1:01/1"}, {"7", "0", "1:00/0", "1:07/0"},
  };
  for (const Case& c : cases) {
    Bytes dividend(c.dividend), divisor(c.divisor), quotient;
    huge_divide(&dividend, &divisor, &quotient);
    EXPECT_EQ(raw(quotient.h), c.quotient) << c.dividend << " / " << c.divisor;
    EXPECT_EQ(raw(dividend.h), c.remainder) << c.dividend << " / " << c.divisor;
    EXPECT_EQ(divisor.hex(), Bytes(c.divisor).hex());
  }
}

TEST(HugeFirstLayer, InversePowersAndTheBridge) {
  struct Case {
    const char *z, *a, *inverse;
  } inverses[] = {{"3", "7", "5"}, {"-3", "7", "2"}, {"-2", "7", "3"}, {"-A", "7", "2"}, {"3", "0", "0"}};
  for (const Case& c : inverses) {
    Bytes z(c.z), a(c.a);
    huge_mod_inverse(&z, &a);
    EXPECT_EQ(z.hex(), c.inverse) << c.z << " mod " << c.a;
  }
  Bytes base("-3"), exponent("3"), modulus("7"), bitwise;
  huge_mod_pow_bitwise(&base, &exponent, &modulus, &bitwise);
  EXPECT_EQ(raw(bitwise.h), "1:06/1");  // |-3|^3 mod 7 with the base's sign for an odd exponent
  huge_exponentiate(&base, &exponent);
  EXPECT_EQ(base.hex(), "-1B");

  Bytes four("4"), thirteen("D"), m497("1F1"), even("1F2"), result, none;
  huge_mod_pow(&four, &thirteen, &m497, &result);
  EXPECT_EQ(raw(result.h), "2:01bd/0");
  EXPECT_EQ(four.hex() + thirteen.hex() + m497.hex(), "4D1F1");
  huge_mod_pow(&four, &thirteen, &even, &none);
  EXPECT_EQ(raw(none.h), "1:00/0");
}

TEST(HugeLimbs, GrowthCopyAndTheLimbLimit) {
  Limbs x, target, empty, big;
  EXPECT_EQ(grow_huge(&x, HUGE_MAX_LIMBS), HUGE_OK);
  EXPECT_EQ(grow_huge(&target, HUGE_MAX_LIMBS + 1), HUGE_ERR_ALLOC);
  EXPECT_EQ(target.h.size, 0u);
  EXPECT_EQ(set_huge_bit(&target, 8 * HUGE_MAX_LIMBS, 1), HUGE_ERR_ALLOC);
  EXPECT_EQ(shift_left_huge(&x, 1), HUGE_OK);  // zero stays within the limit
  ASSERT_EQ(set_huge_bit(&big, 8 * HUGE_MAX_LIMBS - 1, 1), HUGE_OK);
  EXPECT_EQ(shift_left_huge(&big, 1), HUGE_ERR_ALLOC);
  EXPECT_EQ(mul_huge(&x, &big, &big), HUGE_ERR_ALLOC);

  Limbs source;
  grow_huge(&source, 3);
  source.h.rep[0] = 5;
  ASSERT_EQ(copy_huge(&target, &source), HUGE_OK);
  EXPECT_EQ(raw(target.h), "1:05/0");
  Limbs four;
  grow_huge(&four, 4);
  four.h.rep[3] = 9;
  copy_huge(&four, &source);
  EXPECT_EQ(raw(four.h), "4:05000000/0");
  copy_huge(&four, &empty);
  EXPECT_EQ(four.h.rep, nullptr);
  EXPECT_EQ(shrink_huge(&x, 2), HUGE_OK);
  EXPECT_EQ(x.h.size, 2u);
}

TEST(HugeLimbs, SmallIntegersComparisonsAndSignedResults) {
  Limbs x, minimum;
  set_huge_int(&x, -300);
  EXPECT_EQ(raw(x.h), "2:2c01/1");
  EXPECT_EQ(compare_huge_int(&x, -300), 0);
  set_huge_int(&minimum, INT_MIN);
  EXPECT_EQ(minimum.hex(), "-80000000");

  struct Order {
    const char *a, *b;
    int signed_order;
  } orders[] = {{"0", "0", 0}, {"-2", "1", -1}, {"-2", "-3", 1}, {"100", "-FFFF", 1}, {"-100", "FF", -1}};
  for (const Order& o : orders) EXPECT_EQ(compare_huge(&Limbs(o.a), &Limbs(o.b)), o.signed_order) << o.a << " " << o.b;
  Limbs negative_zero("0");
  negative_zero.h.sign = 1;
  EXPECT_EQ(compare_huge(&negative_zero, &Limbs("0")), 0);

  Limbs three("3"), five("5"), r;
  EXPECT_EQ(subtract_abs_huge(&r, &three, &five), HUGE_ERR_NEGATIVE_VALUE);
  sub_huge(&r, &three, &five);
  EXPECT_EQ(raw(r.h), "1:02/1");
}

TEST(HugeLimbs, DivisionRemaindersAndTheirGuards) {
  Limbs q, r, a("-7"), two("2"), six("6"), three("3"), zero("0"), minus_three("-3");
  ASSERT_EQ(div_huge(&q, &r, &a, &two), HUGE_OK);
  EXPECT_EQ(raw(q.h) + " " + raw(r.h), "1:03/1 1:01/1");
  mod_huge(&r, &a, &two);
  EXPECT_EQ(raw(r.h), "1:01/0");
  mod_huge(&r, &six, &three);
  EXPECT_EQ(raw(r.h), "1:00/0");
  EXPECT_EQ(div_huge(&q, &r, &a, &zero), HUGE_ERR_DIVISION_BY_ZERO);
  EXPECT_EQ(mod_huge(&r, &a, &minus_three), HUGE_ERR_NEGATIVE_VALUE);

  struct SmallMod {
    const char* a;
    int b, status, remainder;
  } cases[] = {{"1F0", 3, HUGE_OK, 1},   {"1F0", 2, HUGE_OK, 0},   {"1F0", 1, HUGE_OK, 0},
               {"-7", 3, HUGE_OK, 2},    {"FFFF", 256, HUGE_OK, 255},
               {"1F0", 257, HUGE_ERR_BAD_INPUT, -1}, {"1F0", 0, HUGE_ERR_DIVISION_BY_ZERO, -1},
               {"1F0", -3, HUGE_ERR_NEGATIVE_VALUE, -1}};
  for (const SmallMod& c : cases) {
    u8 remainder = 0xEE;
    EXPECT_EQ(mod_huge_int(&remainder, &Limbs(c.a), c.b), c.status) << c.a << " mod " << c.b;
    EXPECT_EQ(int(remainder), c.remainder < 0 ? 0xEE : c.remainder) << c.a << " mod " << c.b;
  }
}

TEST(HugeLimbs, BitsShiftsBytesAndConditionalMoves) {
  Limbs x, y("1234"), one("AB");
  EXPECT_EQ(set_huge_bit(&x, 20, 2), HUGE_ERR_BAD_INPUT);
  EXPECT_EQ(set_huge_bit(&x, 20, 0), HUGE_OK);
  EXPECT_EQ(x.h.size, 0u);
  EXPECT_EQ(set_huge_bit(&x, 20, 1), HUGE_OK);
  EXPECT_EQ(raw(x.h), "3:000010/0");
  EXPECT_EQ(get_huge_bit(&x, 20) * 10 + get_huge_bit(&x, 999), 10);
  EXPECT_EQ(lsb_huge(&x) * 1000 + msb_huge(&x) * 10 + size_huge(&x), 20213u);
  shift_right_huge(&one, 9);
  EXPECT_EQ(raw(one.h), "1:00/0");

  u8 bytes[4];
  EXPECT_EQ(write_huge_bytes(&Limbs("102"), bytes, 4), HUGE_OK);
  EXPECT_EQ(to_hex(bytes, 4), "00000102");
  EXPECT_EQ(write_huge_bytes(&Limbs("102"), bytes, 1), HUGE_ERR_BUFFER_TOO_SMALL);

  Limbs a("-5"), b("77");
  cond_assign_huge(&a, &b, 0);
  EXPECT_EQ(a.hex(), "-5");
  cond_swap_huge(&a, &b, 0);
  EXPECT_EQ(a.hex() + b.hex(), "-577");
  cond_swap_huge(&a, &b, 1);
  EXPECT_EQ(a.hex() + " " + b.hex(), "77 -5");
  cond_assign_huge(&y, &b, 7);
  EXPECT_EQ(y.hex(), "-5");
}

TEST(HugeLimbs, TextInEveryRadixAndItsErrors) {
  struct Read {
    const char* text;
    int radix, status;
    const char* value;
  } reads[] = {{"-1F", 16, HUGE_OK, "-1F"}, {"12", 10, HUGE_OK, "C"}, {"-12", 10, HUGE_OK, "-C"}, {"-0", 10, HUGE_OK, "0"},
               {"1G", 16, HUGE_ERR_INVALID_CHARACTER, ""}, {"102", 2, HUGE_ERR_INVALID_CHARACTER, ""},
               {"1", 17, HUGE_ERR_BAD_INPUT, ""}, {"zz", 1, HUGE_ERR_BAD_INPUT, ""}};
  for (const Read& c : reads) {
    Limbs x;
    EXPECT_EQ(read_huge_string(&x, c.radix, c.text), c.status) << c.text;
    if (c.status == HUGE_OK) {
      EXPECT_EQ(x.hex(), c.value) << c.text;
    }
  }
  struct Write {
    const char* value;
    int radix;
    size_t offered;
    int status;
    const char* text;
    size_t length;
  } writes[] = {{"FF", 16, 10, HUGE_OK, "FF", 3},         {"0", 16, 10, HUGE_OK, "00", 3},
                {"-A", 10, 10, HUGE_OK, "-10", 4},        {"FF", 16, 2, HUGE_ERR_BUFFER_TOO_SMALL, "", 5},
                {"-100", 16, 6, HUGE_OK, "-0100", 6},     {"-1", 16, 4, HUGE_OK, "-01", 4},
                {"1F", 2, 10, HUGE_OK, "11111", 6},       {"0", 7, 3, HUGE_OK, "0", 2},
                {"1", 1, 10, HUGE_ERR_BAD_INPUT, "", 10}};
  for (const Write& c : writes) {
    char text[16];
    std::memset(text, '#', sizeof text);
    size_t length = c.offered;
    EXPECT_EQ(write_huge_string(&Limbs(c.value), c.radix, text, &length), c.status) << c.value;
    EXPECT_EQ(length, c.length) << c.value;
    if (c.status == HUGE_OK) {
      EXPECT_EQ(std::string(text), c.text);
    }
    EXPECT_EQ(text[c.offered], '#') << "written past the offered room: " << c.value;
  }
}

TEST(HugeLimbs, FileLinesRoundTripAndLimits) {
  FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  Limbs big("-123456789ABCDEF0123456789"), read_back, long_line;
  EXPECT_EQ(write_huge_file("N = ", &big, 10, file), HUGE_OK);
  EXPECT_EQ(write_huge_file(nullptr, &Limbs("BEEF"), 16, file), HUGE_OK);
  std::fputs(std::string(2490, '1').c_str(), file);
  std::rewind(file);
  char start[6] = {0};
  ASSERT_EQ(std::fread(start, 1, 5, file), 5u);
  EXPECT_STREQ(start, "N = -");
  std::rewind(file);
  EXPECT_EQ(read_huge_file(&read_back, 10, file), HUGE_OK);
  EXPECT_EQ(read_back.hex(), big.hex());
  EXPECT_EQ(read_huge_file(&read_back, 16, file), HUGE_OK);
  EXPECT_EQ(read_back.hex(), "BEEF");
  EXPECT_EQ(read_huge_file(&long_line, 10, file), HUGE_ERR_BUFFER_TOO_SMALL);
  std::fclose(file);
  Limbs huge_value;
  set_huge_bit(&huge_value, 8 * 4000, 1);
  EXPECT_EQ(write_huge_file(nullptr, &huge_value, 2, nullptr), HUGE_ERR_BUFFER_TOO_SMALL);
}

TEST(HugeNumberTheory, ExponentiationGcdAndInverseGuards) {
  Limbs x("ABC"), four("4"), thirteen("D"), m497("1F1"), m498("1F2"), zero("0"), minus_one("-1");
  ASSERT_EQ(exp_mod(&x, &four, &thirteen, &m497, nullptr), HUGE_OK);
  EXPECT_EQ(x.hex(), "1BD");
  EXPECT_EQ(x.h.size, 3u);  // n + 1 limbs
  EXPECT_EQ(exp_mod(&x, &four, &thirteen, &m498, nullptr), HUGE_ERR_BAD_INPUT);
  EXPECT_EQ(exp_mod(&x, &four, &minus_one, &m497, nullptr), HUGE_ERR_BAD_INPUT);
  EXPECT_EQ(x.hex(), "1BD");
  exp_mod(&x, &four, &zero, &m497, nullptr);
  EXPECT_EQ(x.hex(), "1");
  Limbs minus_four("-4"), two("2"), three("3"), seven("7");
  exp_mod(&x, &minus_four, &two, &seven, nullptr);
  EXPECT_EQ(x.hex(), "2");
  exp_mod(&x, &minus_four, &three, &seven, nullptr);
  EXPECT_EQ(x.hex(), "6");

  struct Gcd {
    const char *a, *b, *g;
  } gcds[] = {{"2B5", "261", "15"}, {"0", "5", "5"}, {"5", "0", "5"}, {"-C", "12", "6"}, {"0", "0", "0"}};
  for (const Gcd& c : gcds) {
    Limbs g;
    gcd_huge(&g, &Limbs(c.a), &Limbs(c.b));
    EXPECT_EQ(g.hex(), c.g) << c.a << " " << c.b;
  }
  Limbs inverse("99"), four_mod("4");
  EXPECT_EQ(inv_mod(&inverse, &three, &seven), HUGE_OK);
  EXPECT_EQ(inverse.hex(), "5");
  EXPECT_EQ(inv_mod(&inverse, &two, &four_mod), HUGE_ERR_NOT_ACCEPTABLE);
  EXPECT_EQ(inverse.hex(), "5");
  EXPECT_EQ(inv_mod(&inverse, &three, &zero), HUGE_ERR_BAD_INPUT);
}

TEST(HugeNumberTheory, SmallFactorsPrimalityAndRandomSources) {
  struct Case {
    const char* x;
    int small_factors;
  } cases[] = {{"9", HUGE_ERR_NOT_ACCEPTABLE}, {"3E5", 1}, {"3F1", 0}, {"C0B", 0}, {"8", HUGE_ERR_NOT_ACCEPTABLE}};
  for (const Case& c : cases) EXPECT_EQ(check_small_factors(&Limbs(c.x)), c.small_factors) << c.x;
  u64 seed = 1;
  EXPECT_EQ(is_prime_huge(&Limbs("2"), test_random, &seed), HUGE_OK);
  EXPECT_EQ(is_prime_huge(&Limbs("1"), test_random, &seed), HUGE_ERR_NOT_ACCEPTABLE);
  EXPECT_EQ(is_prime_huge(&Limbs("-7"), test_random, &seed), HUGE_OK);
  for (seed = 1; seed < 300; seed++)  // 1019 just above the trial divisors, with every kind of witness
    ASSERT_EQ(miller_rabin_huge(&Limbs("3FB"), test_random, &seed), HUGE_OK) << seed;

  Limbs x;
  EXPECT_EQ(fill_huge_random(&x, 1025, test_random, &seed), HUGE_ERR_BAD_INPUT);
  EXPECT_EQ(fill_huge_random(&x, 8, failing_random, nullptr), -99);
  EXPECT_EQ(gen_prime_huge(&x, 64, 0, failing_random, nullptr), -99);
  EXPECT_EQ(miller_rabin_huge(&Limbs("3FB"), failing_random, nullptr), -99);
}

TEST(HugeNumberTheory, GeneratedPrimesHaveTheirBitLengthAndSafety) {
  struct Case {
    size_t bits;
    int safe;
  } cases[] = {{3, 0}, {4, 0}, {5, 0}, {17, 0}, {64, 0}, {512, 0}, {4, 1}, {5, 1}, {12, 1}, {64, 1}, {160, 1}};
  u64 seed = 77;
  for (const Case& c : cases) {
    for (int round = 0; round < (c.bits < 20 ? 20 : 1); round++) {
      Limbs p, half;
      ASSERT_EQ(gen_prime_huge(&p, c.bits, c.safe, test_random, &seed), HUGE_OK);
      EXPECT_EQ(msb_huge(&p), c.bits);
      EXPECT_EQ(is_prime_huge(&p, test_random, &seed), HUGE_OK) << p.hex();
      div_huge_int(&half, nullptr, &p, 2);
      if (c.safe) {
        EXPECT_EQ(is_prime_huge(&half, test_random, &seed), HUGE_OK) << p.hex();
      }
    }
  }
  Limbs x;
  for (Case bad : {Case{2, 0}, Case{8193, 0}, Case{3, 1}})
    EXPECT_EQ(gen_prime_huge(&x, bad.bits, bad.safe, test_random, &seed), HUGE_ERR_BAD_INPUT);
}

TEST(HugeNumberTheory, SelfTestPassesAndSaysSo) {
  testing::internal::CaptureStdout();
  EXPECT_EQ(huge_self_test(1), 0);
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "  HUGE test #1 (mul_huge): passed\n  HUGE test #2 (div_huge): passed\n"
            "  HUGE test #3 (exp_mod): passed\n  HUGE test #4 (inv_mod): passed\n"
            "  HUGE test #5 (simple gcd): passed\n\n");
  EXPECT_EQ(huge_self_test(0), 0);
}
