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

TEST(RegexWords, DigestsOfTextInUpperCaseHex) {
    EXPECT_EQ(runTemplate("#[out;#[MD5;]]"), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(runTemplate("#[out;#[SHA1;]]"), "DA39A3EE5E6B4B0D3255BFEF95601890AFD80709");
    EXPECT_EQ(runTemplate("#[out;#[SHA256;]]"), "E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
    EXPECT_EQ(runTemplate("#[out;#[MD5;abc]]"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(runTemplate("#[out;#[SHA1;abc]]"), "A9993E364706816ABA3E25717850C26C9CD0D89D");
    EXPECT_EQ(runTemplate("#[out;#[SHA256;abc]]"), "BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD");
}

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

TEST(RegexWords, ShiftsUseTheLowSixBitsOfTheCount) {
    EXPECT_EQ(runTemplate("#[out;#[lShiftBits;1;63]]"), "-9223372036854775808");
    EXPECT_EQ(runTemplate("#[out;#[lShiftBits;1;64]]"), "1");
    EXPECT_EQ(runTemplate("#[out;#[lShiftBits;3;-1]]"), "-9223372036854775808");
    EXPECT_EQ(runTemplate("#[out;#[lShiftBits;5;2]]"), "20");
    EXPECT_EQ(runTemplate("#[out;#[rShiftBits;-8;1]]"), "-4");
    EXPECT_EQ(runTemplate("#[out;#[rShiftBits;8;65]]"), "4");
    EXPECT_EQ(runTemplate("#[out;#[rShiftBits;-1;63]]"), "-1");
    EXPECT_EQ(runTemplate("#[out;#[rShiftBits;x;3]]"), "0");
    EXPECT_EQ(runTemplate("#[out;#[lShiftBits;7;y]]"), "7");
}

TEST(RegexWords, CountBitsOfTheTwosComplementPattern) {
    EXPECT_EQ(runTemplate("#[out;#[countBits;-1]]"), "64");
    EXPECT_EQ(runTemplate("#[out;#[countBits;255]]"), "8");
    EXPECT_EQ(runTemplate("#[out;#[countBits;x]]"), "0");
    EXPECT_EQ(runTemplate("#[out;#[countBits;-9223372036854775808]]"), "1");
}
