// Tests of the template scanner: syntax, protected text, routing of results,
// the input queue and pages that nest deeply or loop forever.
#include <gtest/gtest.h>

#include "TTMProcessor.h"
#include "TTMRun.h"
#include "TTMTestUtil.h"

using namespace VekLanguage;
using namespace VekLanguageTest;

// Protected text keeps its inside verbatim; line breaks vanish outside
// brackets (also inside an argument) and stay inside them; hashes that open
// no call are ordinary; active results are scanned again, neutral ones not.
TEST(TTMScanner, SyntaxOfCallsProtectedTextAndResults) {
    const char* const cases[][2] = {
        {"#[out;[a[b]c]]", "a[b]c"},
        {"#[out;x[]y]", "xy"},
        {"#[out;[#[nope];x]]", "#[nope];x"},
        {"#[out;a\nb\r\t[c\nd]]", "abc\nd"},
        {"#[out;##a#b]", "##a#b"},
        {"#[out;a#]", "a#"},
        {"#[out;x]#", "x"},
        {"#[.=;y;Y]#[.=;r;[#[y]]]#[out;#[r]]", "Y"},
        {"#[.=;y;Y]#[.=;r;[#[y]]]#[out;##[r]]", "#[y]"},
    };
    for (const auto& c : cases) EXPECT_EQ(runTemplate(c[0]), c[1]) << c[0];
}

// Text outside calls and a call still open at the end give no output.
TEST(TTMScanner, TextOutsideCallsAndAnOpenCallProduceNoOutput) {
    TTMProcessor processor;
    EXPECT_EQ(runOn(processor, "plain text [and more]"), "");
    EXPECT_EQ(processor.getOutput(), nullptr);
    TTMProcessor open;
    start(open, "#[out;abc");
    EXPECT_TRUE(open.run(0));
    EXPECT_EQ(open.getOutput(), nullptr);
    EXPECT_EQ(open.current->text, "abc");
}

TEST(TTMScanner, ClosingBracketOfTheRootStartsAFreshRoot) {
    std::string printed;
    std::string output;
    printed = printedBy([&] { output = runTemplate("stray]#[out;ok]more]#[out;#[ok2]]"); });
    EXPECT_EQ(output, "");  // ok2 is no form: the last "out" leaves no block
    EXPECT_NE(printed.find("Unable to find form 'stray'"), std::string::npos);
    printed = printedBy([&] { output = runTemplate("]]#[out;ok]"); });
    EXPECT_EQ(output, "ok");
}

TEST(TTMScanner, DeepNestingUsesNoRecursion) {
    const int depth = 90000;
    std::string page = "#[out;";
    for (int i = 0; i < depth; ++i) page += "#[#;";
    page += std::string(depth, ']') + "deep]";
    EXPECT_EQ(runTemplate(page), "deep");
}

namespace {

// How a page ends on a processor with small limits: "finished", the
// failure's message, or "still running" after a bounded number of turns.
std::string failure(const std::string& text) {
    TTMProcessor processor;
    processor.maxCallDepth = 1000;
    processor.maxTextBytes = 10000;
    start(processor, text);
    try {
        for (int turn = 0; turn < 1000; ++turn)
            if (processor.run(1000)) return "finished";
    } catch (const TTMError& e) {
        return e.what();
    }
    return "still running";
}

}  // namespace

TEST(TTMScanner, UnclosedProtectedTextFails) {
    EXPECT_EQ(failure("#[out;[abc"), "get_ttm_protected_string: can't find matching end parenthesis -> abc");
}

TEST(TTMScanner, RunawayPagesFailInsteadOfExhaustingMemory) {
    std::string open;
    for (int i = 0; i < 1000; ++i) open += "#[";
    EXPECT_EQ(failure(open), "Too many nested calls");
    // Non-tail recursion: every call leaves an argument open. With the small
    // limits here the open calls' arguments (counted with their string
    // objects) pass the text limit first; with a long argument at every
    // depth they pass it after a few levels.
    EXPECT_EQ(failure("#[.=;f;[#[#;#[f]]]]#[f]"), "Text too long");
    EXPECT_EQ(failure("#[.=;f;[#[#;" + std::string(600, 'x') + "#[f]]]]#[f]"), "Text too long");
    // An argument that grows without end.
    EXPECT_EQ(failure("#[.=;f;[x#[f]]]#[#;#[f]]"), "Text too long");
    // An input that grows without end.
    EXPECT_EQ(failure("#[.=;f;[#[f]x]]#[f]"), "Text too long");
    EXPECT_EQ(failure(std::string(20000, 'x')), "Text too long");
    // Arguments that pile up without end, at the top level or inside a call.
    EXPECT_EQ(failure("#[.=;f;[;#[f]]]#[f]"), "Text too long");
    EXPECT_EQ(failure("#[.=;f;[abcdefghijklmnopq;#[f]]]#[#;#[f]]"), "Text too long");
    EXPECT_EQ(failure("#[out;" + std::string(9000, 'x') + "]"), "finished");
}

TEST(TTMScanner, FormsThatGrowInALoopStopAtTheTextLimit) {
    EXPECT_EQ(failure("#[.=;s;a]#[.=;f;[#[is;s;a;aa]#[f]]]#[f]"),
              "eval: failed - Text too long, func_name:is, functionExpression:aa");
    EXPECT_EQ(failure("#[.=;s;]#[.=;f;[#[append;s;0123456789]#[f]]]#[f]"),
              "eval: failed - Text too long, func_name:append, functionExpression:0123456789");
    EXPECT_EQ(failure("#[.=;s;a]#[.=;f;[#[trf;s;a;aaa]#[f]]]#[f]"),
              "eval: failed - Text too long, func_name:trf, functionExpression:aaa");
    // Each "=." turns every 0xFF byte into a two-byte mark.
    EXPECT_EQ(failure("#[.=;s;" + std::string(1000, 'x') + "]#[=.;s;x]#[.=;f;[#[=.;s;\xFF]#[f]]]#[f]"),
              "eval: failed - Text too long, func_name:=., functionExpression:\xFF");
    // One form call whose marks would take a long argument many times.
    EXPECT_EQ(failure("#[.=;f;" + std::string(100, 'X') + "]#[=.;f;X]#[f;" + std::string(200, 'a') + "]"),
              "eval: failed - Text too long, func_name:f, functionExpression:" + std::string(200, 'a'));
    // Up to the limit the words work as before.
    EXPECT_EQ(failure("#[.=;s;" + std::string(4000, 'a') + "]#[is;s;a;aa]#[append;s;b]#[trf;s;b;cc]"), "finished");
}

// Forms that each stay under the limit, at the run's level or global, are
// stopped once they hold it together.
TEST(TTMScanner, ARunsFormsShareTheTextLimit) {
    const std::string big(2000, 'b');
    for (const std::string word : {".=", "="}) {
        std::string page = "#[.=;big;" + big + "]#[.=;s;x]#[.=;f;[#[" + word + ";limit##[s];##[big]]#[append;s;x]#[f]]]#[f]";
        EXPECT_EQ(failure(page), "eval: failed - Text too long, func_name:" + word + ", functionExpression:" + big);
    }
}

TEST(TTMScanner, ResultTooLongForTheInputReleasesTheCall) {
    TTMProcessor processor;
    // The long result comes from a short call, not from a form: a form
    // counts its entry as well, so it could never fit where its text
    // cannot be read back.
    processor.maxTextBytes = 400;
    start(processor, "#[fmtd;%0395.0f;1]#[.=;ok;1]");
    EXPECT_THROW(processor.run(0), TTMError);
    EXPECT_EQ(processor.pendingCall, nullptr);
    EXPECT_TRUE(processor.run(0));
    EXPECT_NE(processor.findForm("ok"), nullptr);
}

TEST(TTMScanner, EndlessTailCallsKeepTheInputSmall) {
    TTMProcessor processor;
    // Nested calls open and close again and again: what they held must not
    // pile up towards the text limit.
    processor.maxTextBytes = 1000;
    start(processor, "#[.=;f;[#[.=;n;#[+;#[n];1;0]]#[f]]]#[.=;n;0]#[f]");
    for (int turn = 0; turn < 2000; ++turn) {
        EXPECT_FALSE(processor.run(100));
        ASSERT_LT(processor.input->count(), 200u);
    }
    // Every turn ran its whole budget of calls.
    EXPECT_GT(std::stol(processor.findForm("n")->text), 30000);
}
