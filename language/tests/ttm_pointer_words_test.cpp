// Tests of the form-pointer words, driven by pages on one processor so that
// pointer moves carry from call to call.
#include <gtest/gtest.h>

#include "TTMProcessor.h"
#include "TTMRun.h"
#include "TTMTestUtil.h"

using namespace VekLanguage;
using namespace VekLanguageTest;

namespace {

// Runs page on processor and returns its output without the final NUL.
std::string page(TTMProcessor& processor, const std::string& text) {
    std::string output = runOn(processor, text);
    if (!output.empty()) output.pop_back();
    return output;
}

}  // namespace

TEST(TTMPointerWords, SegmentsAreReadInTurn) {
    TTMProcessor p;
    p.defineFormAtLevel("f", "a\xFF\x01" "b\xFF\x02" "c", 0);
    EXPECT_EQ(page(p, "#[out;#[cs;f;D]#[cs;f;D]#[cs;f;D]#[cs;f;D]]"), "abcD");
    EXPECT_EQ(p.findForm("f")->pointer, p.findForm("f")->text.size());
}

TEST(TTMPointerWords, SkipBeforeAfter) {
    TTMProcessor p;
    std::string printed = printedBy([&] {
        EXPECT_EQ(page(p, "#[.=;f;hello world]#[x*v;f;lo ]#[out;#[*^;f]|#[^*..)]|#[^*..);f]|#[^(..*;f]]"),
                  "6||world|hello ");
    });
    EXPECT_EQ(printed, "\nError: Unable to find form '' !");
    EXPECT_EQ(page(p, "#[out;#[x*v;f;zzz;missing]#[*^;f]]"), "missing6");
    EXPECT_EQ(page(p, "#[.=;e;]#[out;#[x*v;e;a;empty]]"), "empty");
}

TEST(TTMPointerWords, BetweenMarkers) {
    TTMProcessor p;
    EXPECT_EQ(page(p, "#[.=;f;x<a>y</a>z]#[out;#[ts;f;<a>;</a>;D]#[*^;f]]"), "y9");
    std::string printed = printedBy([&] { EXPECT_EQ(page(p, "#[out;#[ts;f;<a>;</a>;D]]"), "D"); });
    EXPECT_EQ(printed, "ER:No <a>, language/ttm/TTMProcessor, 960\n");
    EXPECT_EQ(page(p, "#[.=;g;<a>]#[out;#[ts;g;<a>;</a>;D]]"), "D");
}

TEST(TTMPointerWords, Utf8Characters) {
    TTMProcessor p;
    EXPECT_EQ(page(p, "#[.=;f;h\xC3\xA9llo]#[out;#[^..;f;2]#[*^;f]#[(..);f]#[^.;f]]"), "h\xC3\xA9" "35l");
    EXPECT_EQ(page(p, "#[*0;f]#[out;#[^..;f;-1]#[^..;f;1;END]]"), "h\xC3\xA9lloEND");
    EXPECT_EQ(page(p, "#[*0;f]#[out;#[^..;f;0]#[*^;f]]"), "0");
    // Invalid UTF-8 fails the call and leaves the pointer.
    p.defineFormAtLevel("bad", "a\xC3", 0);
    EXPECT_THROW(page(p, "#[^..;bad;5]"), TTMError);
    EXPECT_EQ(p.findForm("bad")->pointer, 0u);
    EXPECT_THROW(page(p, "#[(..);bad]"), TTMError);
}

TEST(TTMPointerWords, SetPointer) {
    TTMProcessor p;
    EXPECT_EQ(page(p, "#[.=;f;abcdef]#[*v;f;2.1]#[out;#[*^;f]]"), "3");
    EXPECT_EQ(page(p, "#[*v;f;-1]#[out;#[*^;f]]"), "6");
    EXPECT_EQ(page(p, "#[*v;f;1e20]#[out;#[*^;f]]"), "6");
    EXPECT_EQ(page(p, "#[*v;f;99]#[out;#[*^;f]]"), "6");
    EXPECT_EQ(page(p, "#[.=;e;]#[*v;e;5]#[out;#[*^;e]]"), "5");
    EXPECT_EQ(page(p, "#[.=;g;x]#[out;#[*^;g]]"), "0");
}

TEST(TTMPointerWords, AfterPastTheEndFails) {
    TTMProcessor p;
    EXPECT_THROW(page(p, "#[.=;f;abcdef]#[*v;f;4]#[is;f;abcdef;x]#[^*..);f]"), TTMError);
    EXPECT_EQ(page(p, "#[out;#[^(..*;f]]"), "x");
}

TEST(TTMPointerWords, FindMovesToTheStart) {
    TTMProcessor p;
    EXPECT_EQ(page(p, "#[.=;f;abcabc]#[*v;f;1]#[out;#[tt;f;abc;T;E]#[*^;f]#[tt;f;xyz;T;E]#[*^;f]]"), "T3E3");
    std::string printed = printedBy([&] { EXPECT_EQ(page(p, "#[.=;g;xabc]#[out;#[ttc;g;ABC;T;E]#[*^;g]#[pf;g]]"), "T1"); });
    EXPECT_EQ(printed, "abc");
    EXPECT_EQ(p.findForm("g")->text, "xabc");
    EXPECT_EQ(page(p, "#[.=;e;]#[out;#[tt;e;;T;E]]"), "E");
}

TEST(TTMPointerWords, Replacements) {
    TTMProcessor p;
    EXPECT_EQ(page(p, "#[.=;f;aaa]#[is;f;a;aa]#[out;#[f]]"), "aaaaaa");
    EXPECT_EQ(page(p, "#[.=;f;aaa]#[trf;f;a;b]#[out;#[f]]"), "baa");
    // An empty search text replaces nothing and returns.
    EXPECT_EQ(page(p, "#[.=;f;abc]#[is;f;;x]#[out;#[f]]"), "abc");
    EXPECT_THROW(page(p, "#[is;f;a]"), TTMError);
    EXPECT_EQ(page(p, "#[trf;f;b]#[out;#[f]]"), "ac");
}

TEST(TTMPointerWords, NextCharAndDefaults) {
    TTMProcessor p;
    EXPECT_EQ(page(p, "#[.=;e;]#[out;#[^.;e;none]]"), "none");
    EXPECT_EQ(page(p, "#[.=;f;ab]#[out;#[^.;f;D]#[^.;f;D]#[^.;f;D]]"), "abD");
}

TEST(TTMPointerWords, PrintAndExistence) {
    TTMProcessor p;
    std::string printed = printedBy([&] { page(p, "#[.=;f;hello]#[*v;f;1]#[pf;f]"); });
    EXPECT_EQ(printed, "ello");
    EXPECT_EQ(page(p, "#[.=;x(0);1]#[out;#[existsf;x]#[existsf;nope]]"), "truefalse");
}

TEST(TTMPointerWords, MissingFormGivesEmptyNotDefault) {
    TTMProcessor p;
    std::string printed = printedBy([&] { EXPECT_EQ(page(p, "#[out;#[^.;nope;D]#[cs;nope;D]#[ts;nope;a;b;D]]"), ""); });
    EXPECT_EQ(printed,
              "\nError: Unable to find form 'nope' !\nError: Unable to find form 'nope' !"
              "\nError: Unable to find form 'nope' !");
}
