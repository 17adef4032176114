// Tests of the form definition, arithmetic and comparison words.
#include <gtest/gtest.h>

#include "TTMProcessor.h"
#include "TTMRun.h"
#include "TTMTestUtil.h"

using namespace VekLanguage;
using namespace VekLanguageTest;

namespace {

std::string out(const std::string& call) { return runTemplate("#[out;" + call + "]"); }

}  // namespace

TEST(TTMDefinitionWords, DotEqualsDefinesAtALevel) {
    TTMProcessor processor;
    runOn(processor, "#[.+]#[.+]#[.=;x;v;]#[.=;y;w;1]#[.=;z;u]");
    EXPECT_EQ(processor.levelForms->at(0)->count("x"), 1u);
    EXPECT_EQ(processor.levelForms->at(1)->count("y"), 1u);
    EXPECT_EQ(processor.levelForms->at(2)->count("z"), 1u);
}

TEST(TTMDefinitionWords, EqualsChangesTheNearestLevel) {
    TTMProcessor processor;
    runOn(processor, "#[.v;2]#[.=;n;old]#[.v;3]#[=;n;new]");
    EXPECT_EQ(processor.levelForms->at(2)->at("n")->text, "new");
    EXPECT_EQ(processor.levelForms->count(3), 0u);
    EXPECT_EQ(LanguageProcessor::globalForms.count("n"), 0u);
}

TEST(TTMDefinitionWords, GlobalFormsCannotBeRedefined) {
    runTemplate("#[=;fwGlobalOnce;first]");
    std::string printed = printedBy([] { runTemplate("#[=;fwGlobalOnce;second]#[append;fwGlobalOnce;more]"); });
    EXPECT_EQ(printed,
              "The global form \"fwGlobalOnce\" already exists!\n"
              "The global form \"fwGlobalOnce\" already exists!\n");
    EXPECT_EQ(runTemplate("#[out;#[fwGlobalOnce]]"), "first");
}

TEST(TTMDefinitionWords, ListNamesGlobalFirstThenLevels) {
    LanguageProcessor::clearGlobalForms();
    EXPECT_EQ(out("#[ln;,]"), "");
    runTemplate("#[=;b;1]#[=;a;2]");
    EXPECT_EQ(runTemplate("#[.+]#[.=;c;3]#[.=;a;4;0]#[out;#[ln;,]]"), "a,b,a,c");
    LanguageProcessor::clearGlobalForms();
}

TEST(TTMArithmeticWords, RealOperations) {
    EXPECT_EQ(out("#[+;1;2]"), "3.00000000000000000");
    EXPECT_EQ(out("#[/;1;3]"), "0.33333333333333331");
    EXPECT_EQ(out("#[+;0.1;0.2;2]"), "0.30");
    EXPECT_EQ(out("#[-;5;7;0]"), "-2");
    EXPECT_EQ(out("#[*;-0;1;1]"), "-0.0");
    EXPECT_EQ(out("#[*;1e300;1e10;0]"), "inf");
    EXPECT_EQ(out("#[/;1;0;0]"), "inf");
    EXPECT_EQ(out("#[+;1;2;-1]"), "3.000000");
    EXPECT_EQ(out("#[+;0x10;1;0]"), "17");
    EXPECT_EQ(out("#[+;9007199254740993;0;0]"), "9007199254740992");
    // An absurd precision is cut to the result buffer.
    EXPECT_EQ(out("#[+;1;2;100000]").size(), 1023u);
}

TEST(TTMArithmeticWords, TooFewArgumentsAreReported) {
    std::string result = "unset";
    std::string errors = errorsOf([&] { result = out("#[+;1]"); });
    EXPECT_EQ(errors, "\nError: Function + args=2, but 3 required!");
    EXPECT_EQ(result, "");
    errors = errorsOf([&] { result = out("#[%]"); });
    EXPECT_EQ(errors, "\nError: Function % args=1, but 3 required!");
}

TEST(TTMArithmeticWords, Remainder) {
    EXPECT_EQ(out("#[%;7;-3]"), "1");
    EXPECT_EQ(out("#[%;-7;3]"), "-1");
    EXPECT_EQ(out("#[%;7;x]"), "0");
    EXPECT_EQ(out("#[%;x;5]"), "0");
    // Neither a zero divisor nor the one overflowing quotient stops the run.
    EXPECT_EQ(out("#[%;7;0]"), "7");
    EXPECT_EQ(out("#[%;-9223372036854775808;-1]"), "0");
}

TEST(TTMArithmeticWords, BitWords) {
    EXPECT_EQ(out("#[|;5;3]"), "7");
    EXPECT_EQ(out("#[&;6;3]"), "2");
    EXPECT_EQ(out("#[|;5]"), "5");
    EXPECT_EQ(out("#[&;-1;99999999999]"), "2147483647");
}

TEST(TTMComparisonWords, TextAndNumberComparisons) {
    EXPECT_EQ(out("#[==n;0.1;0.10000000001;y;n]"), "y");
    EXPECT_EQ(out("#[==;1;1.0;y;n]"), "n");
    EXPECT_EQ(out("#[==;a;a;y]"), "y");
    EXPECT_EQ(out("#[==;a;b;y]"), "");
    EXPECT_EQ(out("#[ta;abc;abd;y;n]"), "n");
    EXPECT_EQ(out("#[ta;b;abc;y;n]"), "y");
    EXPECT_EQ(out("#[ta;ab;ab;y;n]"), "y");
    EXPECT_EQ(out("#[>=;ab;abc;y;n]"), "n");
    // Bytes compare unsigned: a byte above 0x7F is greater than any ASCII.
    EXPECT_EQ(out("#[>=;\xC3\xA9;z;y;n]"), "y");
    EXPECT_EQ(out("#[>=n;1;1.00000000001;y;n]"), "y");
    EXPECT_EQ(out("#[>=n;1;2;y;n]"), "n");
    EXPECT_EQ(out("#[>=n;10;9;y;n]"), "y");
    EXPECT_EQ(out("#[==n;1;1.0000000001;y;n]"), "n");
}

TEST(TTMCharacterWords, ChrAndCount) {
    EXPECT_EQ(out("#[chr;65]"), "A");
    EXPECT_EQ(out("#[chr;]"), "0");
    EXPECT_EQ(out("#[chr;0]"), "");
    EXPECT_EQ(out("#[chr;233]"), "\xC3\xA9");
    EXPECT_EQ(out("#[chr;128512]"), "\xF0\x9F\x98\x80");
    EXPECT_THROW(out("#[chr;55296]"), TTMError);
    EXPECT_THROW(out("#[chr;1114112]"), TTMError);
    EXPECT_EQ(out("#[(.);h\xC3\xA9llo]"), "5");
    EXPECT_EQ(out("#[(.)]"), "0");
    EXPECT_THROW(out("#[(.);\xC0\x80]"), TTMError);
}
