// Tests of the language core: form visibility and definition rules, the
// output block and the form operations that the words do not reach.
#include <gtest/gtest.h>

#include <cstring>

#include "Form.h"
#include "LanguageProcessor.h"
#include "TTMProcessor.h"
#include "TTMTestUtil.h"
#include "VekAlloc.h"

using namespace VekLanguage;
using namespace VekLanguageTest;

TEST(LanguageCore, NamedFormBeatsItsZeroVariant) {
    TTMProcessor p;
    p.defineFormAtLevel("n(0)", "zero", 0);
    EXPECT_EQ(p.findForm("n")->text, "zero");
    p.defineFormAtLevel("n", "plain", 0);
    EXPECT_EQ(p.findForm("n")->text, "plain");
}

TEST(LanguageCore, HugeLevelsCostNothing) {
    TTMProcessor p;
    p.defineFormAtLevel("deep", "x", 0);
    p.level = 9223372036854775807LL;
    EXPECT_EQ(p.findForm("deep")->text, "x");
    p.level = -9223372036854775807LL - 1;
    EXPECT_EQ(p.findForm("deep"), nullptr);
}

TEST(LanguageCore, GlobalFormsSeenFromEveryLevelAndProcessor) {
    TTMProcessor first;
    first.level = -1;
    first.defineForm("coreGlobal", "g", false);
    TTMProcessor second;
    second.level = 3;
    ASSERT_NE(second.findForm("coreGlobal"), nullptr);
    EXPECT_EQ(second.findForm("coreGlobal")->text, "g");
    LanguageProcessor::globalForms["coreZero(0)"] = new Form("z");
    EXPECT_EQ(second.findForm("coreZero")->text, "z");
}

TEST(LanguageCore, RedefinitionAtALevelMakesANewForm) {
    TTMProcessor p;
    p.defineFormAtLevel("r", "abc", 0);
    p.findForm("r")->pointer = 2;
    p.defineFormAtLevel("r", "xyz", 0);
    EXPECT_EQ(p.findForm("r")->pointer, 0u);
    p.findForm("r")->pointer = 2;
    p.defineForm("r", "more", true);
    EXPECT_EQ(p.findForm("r")->text, "xyzmore");
    EXPECT_EQ(p.findForm("r")->pointer, 2u);
    p.defineForm("r", "new", false);
    EXPECT_EQ(p.findForm("r")->pointer, 0u);
}

TEST(LanguageCore, LevelRemoval) {
    TTMProcessor p;
    p.defineFormAtLevel("a", "1", 1);
    p.defineFormAtLevel("b", "2", 2);
    p.removeLevel(1);
    p.removeLevel(7);
    EXPECT_EQ(p.levelForms->count(1), 0u);
    p.clearLevelForms(false);
    EXPECT_TRUE(p.levelForms->empty());
}

TEST(LanguageCore, AppendOutputGrowsTheBlock) {
    TTMProcessor p;
    EXPECT_EQ(p.getOutput(), nullptr);
    p.appendOutput("abc", 3);
    p.appendOutput("\0d", 2);
    EXPECT_EQ(p.outputText(), std::string("abc\0d", 5));
    p.freeOutput();
    EXPECT_EQ(p.getOutput(), nullptr);
    // Appending nothing still leaves a block, of length 0.
    p.appendOutput("", 0);
    ASSERT_NE(p.getOutput(), nullptr);
    EXPECT_EQ(p.outputLength(), 0u);
    p.appendOutput("x", -1);
    EXPECT_EQ(p.outputLength(), 0u);
}

TEST(FormOperations, RestAndPointerBounds) {
    Form f("abc");
    EXPECT_EQ(f.rest(), "abc");
    f.setPointer(3);
    EXPECT_EQ(f.rest(), "");
    f.text = "a";  // the text shrank under the pointer
    EXPECT_EQ(f.rest(), "");
    EXPECT_EQ(f.before(), "a");
    EXPECT_THROW(f.after(), std::out_of_range);
    EXPECT_THROW(f.nextChar(), LanguageError);
    EXPECT_FALSE(f.find("a"));
}

TEST(FormOperations, NextUntilWithoutMarkTakesTheRest) {
    Form f("abc");
    EXPECT_EQ(f.nextUntil(Form::SegmentMark), "abc");
    EXPECT_EQ(f.pointer, 3u);
    EXPECT_THROW(f.nextUntil(Form::SegmentMark), LanguageError);
}

TEST(FormOperations, FailureMessages) {
    Form f("abc");
    auto message = [](const std::function<void()>& fn) {
        try {
            fn();
        } catch (const LanguageError& e) {
            return std::string(e.what());
        }
        return std::string("none");
    };
    EXPECT_EQ(message([&] { f.skipPast("z"); }), "No string");
    EXPECT_EQ(message([&] { f.between("a", "z"); }), "No z");
    EXPECT_EQ(message([&] { f.between("q", "z"); }), "No q");
    f.pointer = 3;
    EXPECT_EQ(message([&] { f.nextChars(1); }), "Invalid pointer");
    EXPECT_EQ(message([&] { f.between("a", "b"); }), "Invalid pointer");
    Form empty;
    EXPECT_EQ(message([&] { empty.nextChars(1); }), "No contents");
    EXPECT_EQ(message([&] { empty.skipPast(""); }), "No contents");
}

TEST(FormOperations, ReplaceInDoesNotRescan) {
    std::string text = "abab";
    EXPECT_TRUE(Form::replaceIn(text, "ab", "abab"));
    EXPECT_EQ(text, "abababab");
    EXPECT_FALSE(Form::replaceIn(text, "", "x"));
    EXPECT_FALSE(Form::replaceIn(text, "zz", "x"));
}
