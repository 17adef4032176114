// Tests of the control, level and output words.
#include <gtest/gtest.h>

#include <cstring>

#include "TTMProcessor.h"
#include "TTMRun.h"
#include "TTMTestUtil.h"
#include "WordsTestUtil.h"
#include "VekAlloc.h"

using namespace VekLanguage;
using namespace VekLanguageTest;

TEST(TTMLevelWords, UpAndDownOnlyWithoutArguments) {
    EXPECT_EQ(runTemplate("#[.+]#[.+]#[.+;x]#[out;#[.^]]"), "2");
    EXPECT_EQ(runTemplate("#[.+]#[.-;x]#[out;#[.^]]"), "1");
    EXPECT_EQ(runTemplate("#[.v;-7]#[out;#[.^]]"), "-7");
    EXPECT_EQ(runTemplate("#[.v;5]#[.v;abc]#[out;#[.^]]"), "0");
    // The level stops at the ends of its range.
    EXPECT_EQ(runTemplate("#[.v;9223372036854775807]#[.+]#[out;#[.^]]"), "9223372036854775807");
    EXPECT_EQ(runTemplate("#[.v;-9223372036854775808]#[.-]#[out;#[.^]]"), "-9223372036854775808");
}

TEST(TTMLevelWords, LeavingALevelDeletesItsForms) {
    EXPECT_EQ(runTemplate("#[.=;a;zero]#[.+]#[.=;a;one]#[.-]#[out;#[a]]"), "zero");
}

TEST(TTMLevelWords, BelowLevelZeroFormsAreOutOfSight) {
    TTMProcessor processor;
    std::string printed = printedBy([&] { runOn(processor, "#[.=;lvlHidden;x]#[.-]#[out;#[lvlHidden]]"); });
    EXPECT_EQ(processor.level, -1);
    EXPECT_EQ(processor.getOutput(), nullptr);
    EXPECT_NE(printed.find("Unable to find form 'lvlHidden'"), std::string::npos);
    // "=" now defines a global form.
    runOn(processor, "#[.v;-1]#[=;lvlGlobalFromBelow;g]");
    EXPECT_EQ(LanguageProcessor::globalForms.count("lvlGlobalFromBelow"), 1u);
}

TEST(TTMOutputWords, OutReplacesTheBlock) {
    TTMProcessor processor;
    runOn(processor, "#[out;abc]");
    u8* block = processor.getOutput();
    ASSERT_NE(block, nullptr);
    u64 length;
    std::memcpy(&length, block, sizeof length);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(std::memcmp(block + 8, "abc", 4), 0);
    EXPECT_EQ(vekBlockSize(block), 12u);
    EXPECT_EQ(runOn(processor, "#[out;first]#[out;second]"), std::string("second") + '\0');
    runOn(processor, "#[out;x]#[out;]");
    EXPECT_EQ(processor.getOutput(), nullptr);
    runOn(processor, "#[out;x]#[out]");
    EXPECT_EQ(processor.getOutput(), nullptr);
}

TEST(TTMOutputWords, CoutEchoesOnlyWhileTracing) {
    TTMProcessor processor;
    EXPECT_EQ(printedBy([&] { runOn(processor, "#[cout;quiet]"); }), "");
    EXPECT_EQ(processor.outputText(), std::string("quiet") + '\0');
    std::string printed = printedBy([&] { runOn(processor, "#[cout+]#[cout;h\xC3\xA9]#[cout-]"); });
    EXPECT_EQ(printed, "\nh\xC3\xA9");
    EXPECT_FALSE(processor.isTrace());
}

TEST(TTMOutputWords, CoutWithInvalidUtf8FailsOnlyWhileTracing) {
    EXPECT_EQ(runTemplate("#[cout;bad\xFF]"), "bad\xFF");
    TTMProcessor processor;
    start(processor, "#[out;kept]#[cout+]#[cout;bad\xFF]");
    printedBy([&] { EXPECT_THROW(processor.run(0), TTMError); });
    EXPECT_EQ(processor.outputText(), std::string("kept") + '\0');
}

TEST(TTMControlWords, ComplementCommentAndRefusal) {
    EXPECT_EQ(runTemplate("#[out;#[~;5]]"), "-6");
    EXPECT_EQ(runTemplate("#[out;#[~;x]]"), "-1");
    EXPECT_EQ(runTemplate("#[out;#[~;99999999999]]"), "-2147483648");
    // Calls inside a comment still run; bracketed text stays inert.
    EXPECT_EQ(runTemplate("#[#;#[.=;z;1][#[.=;z;2]]]#[out;#[z]]"), "1");
    EXPECT_EQ(printedBy([] { runTemplate("#[.=;keep;1]#[=x..]"); }), "Can not remove all forms!");
}

TEST(TTMControlWords, GetTimeStepsItsCounter) {
    getTimeCounter = 0;
    TTMProcessor processor;
    processor.init(std::string());
    std::string last;
    for (int i = 0; i < 11; ++i) {
        std::string stamp = callWord(processor, {"getTime"});
        last += stamp.back();
        EXPECT_GT(std::stoll(stamp), 1000000000000LL);
    }
    EXPECT_EQ(last, "01234567800");
}

TEST(TTMControlWords, UniqueIdsAndBufferState) {
    std::string id = runTemplate("#[out;#[^UID]]");
    EXPECT_EQ(id.size(), 36u);
    EXPECT_EQ(id.find_first_of("abcdef"), std::string::npos);
    EXPECT_NE(id, runTemplate("#[out;#[^UID]]"));
    std::string state = runTemplate("#[out;#[BuffersGetState]]");
    ASSERT_FALSE(state.empty());
    EXPECT_EQ(state.front(), '{');
}
