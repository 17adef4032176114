// Tests of the regular-expression, digest, random and bit words: "RegEx"
// with its capture forms, "MD5", "SHA1", "SHA256", "rand", "lShiftBits",
// "rShiftBits" and "countBits".
#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "TTMProcessor.h"
#include "TTMRun.h"
#include "TTMTestUtil.h"
#include "WordsTestUtil.h"

using namespace VekLanguage;
using namespace VekLanguageTest;

TEST(RegexWords, MatchGivesTheOffsetPastTheMatchOrACode) {
    EXPECT_EQ(runTemplate("#[out;#[RegEx;b+;abbc]]"), "3");
    EXPECT_EQ(runTemplate("#[out;#[RegEx;x;abbc]]"), "-1");
    EXPECT_EQ(runTemplate("#[out;#[RegEx;B;abc;IGNORE_CASE]]"), "2");
    EXPECT_EQ(runTemplate("#[out;#[RegEx;B;abc;ignore_case]]"), "-1");
    EXPECT_EQ(runTemplate("#[out;#[RegEx;[(a];abc]]"), "-3");
}

TEST(RegexWords, CapturesBecomeFormsAtTheCurrentLevel) {
    EXPECT_EQ(runTemplate("#[.+]#[.+]#[.=;r;#[RegEx;(a)(b);ab;;m;2]|#[m0]#[m1];0]#[.-]#[out;#[r]|#[existsf;m0]]"),
              "2|ab|false");
    EXPECT_EQ(runTemplate("#[out;#[RegEx;(a)(b);ab;;m;2]|#[m0]#[m1]]"), "2|ab");
    // A capture form holds the group alone, not the rest of the subject.
    EXPECT_EQ(runTemplate("#[out;#[RegEx;(B+)c;abbcd;IGNORE_CASE;g;5]|#[g0]|#[existsf;g1]]"), "4|bb|false");
}

TEST(RegexWords, TooFewOrNoSlotsDefineNothing) {
    EXPECT_EQ(runTemplate("#[out;#[RegEx;(a)(b);ab;;m;1]|#[existsf;m0]]"), "-7|false");
    EXPECT_EQ(runTemplate("#[out;x#[RegEx;(a)(b);ab;;m;0]|#[existsf;m0]]"), "x|false");
    EXPECT_EQ(runTemplate("#[out;x#[RegEx;(a);a;;m]|#[existsf;m0]]"), "x|false");
    // A huge count needs no huge allocation: only groups can fill slots.
    EXPECT_EQ(runTemplate("#[out;#[RegEx;(a);a;;m;2147483647]|#[m0]]"), "1|a");
}

TEST(RegexWords, AGroupThatMatchedNothingKeepsTheOlderForm) {
    EXPECT_EQ(runTemplate("#[.=;m0;old]#[out;#[RegEx;(x*)(b);b;;m;2]|#[m0]|#[m1]]"), "1|old|b");
}

// The digests themselves have known-answer tests beside their code; the
// words pick the kind, read the whole text (NUL bytes too) and print
// upper-case hex.
TEST(RegexWords, DigestsIncludeNulBytes) {
    TTMProcessor processor;
    const std::string text("a\0b", 3);
    EXPECT_EQ(callWord(processor, {"MD5", text}), "70350F6027BCE3713F6B76473084309B");
    EXPECT_EQ(callWord(processor, {"SHA1", text}), "4A3DEC2D1F8245280855C42DB0EE4239F917FDB8");
    EXPECT_EQ(callWord(processor, {"SHA256", text}),
              "59B271AE1BBCB1D31D41929817F4B16FB439EB4F31520B5AD1D5CE98920A7138");
}

TEST(RegexWords, RandomStaysInItsRange) {
    TTMProcessor processor;
    for (int i = 0; i < 200; ++i) {
        long long die = std::atoll(callWord(processor, {"rand", "6", "1"}).c_str());
        EXPECT_GE(die, 1);
        EXPECT_LE(die, 6);
        long long negative = std::atoll(callWord(processor, {"rand", "-3"}).c_str());
        EXPECT_GE(negative, 0);
        EXPECT_LE(negative, 2);
        long long wide = std::atoll(callWord(processor, {"rand", "0", "10"}).c_str());
        EXPECT_GE(wide, 10);
        EXPECT_LE(wide, static_cast<long long>(RAND_MAX) + 10);
    }
    // An offset at the top of the range wraps instead of overflowing.
    std::string top = callWord(processor, {"rand", "1", "9223372036854775807"});
    EXPECT_EQ(top, "9223372036854775807");
    EXPECT_EQ(callWord(processor, {"rand", "-2147483648", "x"}).empty(), false);
}

// A new run does not restart the numbers: were the generator seeded again
// for each run, every run of one second would draw the same numbers.
TEST(RegexWords, ANewRunDoesNotRestartTheNumbers) {
    std::string first, second;
    {
        TTMProcessor processor;
        first = callWord(processor, {"rand"}) + " " + callWord(processor, {"rand"});
    }
    TTMProcessor processor;
    second = callWord(processor, {"rand"}) + " " + callWord(processor, {"rand"});
    EXPECT_NE(first, second);
}

// Shifts use the low six bits of the count; bits are counted in the two's
// complement pattern; text that is no number reads as 0.
TEST(RegexWords, BitWords) {
    const char* const cases[][2] = {
        {"#[lShiftBits;1;63]", "-9223372036854775808"}, {"#[lShiftBits;1;64]", "1"},
        {"#[lShiftBits;3;-1]", "-9223372036854775808"}, {"#[lShiftBits;5;2]", "20"},
        {"#[rShiftBits;-8;1]", "-4"},   {"#[rShiftBits;8;65]", "4"},
        {"#[rShiftBits;-1;63]", "-1"},  {"#[rShiftBits;x;3]", "0"},
        {"#[lShiftBits;7;y]", "7"},     {"#[countBits;-1]", "64"},
        {"#[countBits;255]", "8"},      {"#[countBits;x]", "0"},
        {"#[countBits;-9223372036854775808]", "1"},
    };
    for (const auto& c : cases) EXPECT_EQ(runTemplate(std::string("#[out;") + c[0] + "]"), c[1]) << c[0];
}
