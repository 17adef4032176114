// Tests of the template processor: the builtin table, run budgets, waiting
// calls, form calls with segment marks, "=." and the evaluator's failures.
#include <gtest/gtest.h>

#include <set>

#include "TTMProcessor.h"
#include "TTMRun.h"
#include "TTMTestUtil.h"

using namespace VekLanguage;
using namespace VekLanguageTest;

namespace {

// A processor with two test words: "wait" asks to be evaluated again until
// its third evaluation, "yield" ends the turn.
class WaitingProcessor : public TTMProcessor {
public:
    WaitingProcessor() {
        init(std::string());
        (*builtins)["wait"] = &WaitingProcessor::wait;
        (*builtins)["yield"] = &WaitingProcessor::yield;
    }
    static std::string wait(TTMProcessor& processor, Function*) {
        WaitingProcessor& self = static_cast<WaitingProcessor&>(processor);
        ++self.evaluations;
        self.requestState = self.evaluations < 3 ? RequestWaiting : 1;
        return self.evaluations < 3 ? std::string() : "done";
    }
    static std::string yield(TTMProcessor& processor, Function*) {
        processor.yieldFlag = true;
        return std::string();
    }
    int evaluations = 0;  // evaluations of "wait"
};

std::string failureOf(const std::string& page) {
    try {
        runTemplate(page);
    } catch (const TTMError& e) {
        return e.what();
    }
    return "no failure";
}

const char* const CountingPage =
    "#[.=;i;0]#[.=;s;]#[.=;loop;[#[>=n;#[i];20;;[#[.=;s;#[s]#[i],]#[.=;i;#[+;#[i];1;0]]#[loop]]]]]"
    "#[loop]#[out;#[s]]";

}  // namespace

// Every builtin once in the table; a word one processor enters stays its
// own (elsewhere the name is a form call); a builtin name is never a form.
TEST(TTMProcessorTable, HoldsEveryBuiltinOnceAndWordsStayWithTheirProcessor) {
    const auto& list = TTMProcessor::builtinList();
    std::set<std::string> distinct;
    for (const auto& word : list) distinct.insert(word.first);
    EXPECT_EQ(list.size(), 134u);
    EXPECT_EQ(distinct.size(), list.size());
    WaitingProcessor waiting;
    TTMProcessor plain;
    plain.init(std::string());
    EXPECT_EQ(waiting.builtins->size(), list.size() + 2);
    EXPECT_EQ(plain.builtins->size(), list.size());
    EXPECT_EQ(runTemplate("#[wait]"), "");
    EXPECT_EQ(runTemplate("#[.=;out;x]#[out;y]"), "y");
}

TEST(TTMProcessorRun, BudgetsGiveTheSameOutput) {
    const std::string expected = "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,";
    EXPECT_EQ(runTemplate(CountingPage, 0), expected);
    EXPECT_EQ(runTemplate(CountingPage, 1), expected);
    EXPECT_EQ(runTemplate(CountingPage, 30), expected);
    TTMProcessor processor;
    start(processor, CountingPage);
    processor.process();
    EXPECT_EQ(processor.outputText(), expected + '\0');
}

TEST(TTMProcessorRun, CallsInsideResultsCountAsSteps) {
    TTMProcessor processor;
    start(processor, "#[.=;f;[#[.=;a;1]#[.=;b;2]]]#[f]");
    EXPECT_FALSE(processor.run(2));  // ".=" and "f"
    EXPECT_EQ(processor.findForm("a"), nullptr);
    EXPECT_FALSE(processor.run(1));
    EXPECT_NE(processor.findForm("a"), nullptr);
    EXPECT_EQ(processor.findForm("b"), nullptr);
    EXPECT_TRUE(processor.run(1));
    start(processor, std::string(100000, 'x') + "#[.=;a;1]");  // plain text takes no steps
    EXPECT_TRUE(processor.run(1));
}

TEST(TTMProcessorRun, ExitStopsWithInputLeft) {
    TTMProcessor processor;
    EXPECT_EQ(runOn(processor, "#[out;a]#[exit]#[out;b]"), std::string("a") + '\0');
    EXPECT_FALSE(processor.input->empty());
    TTMProcessor other;
    start(other, "#[out;a]#[exit]#[out;b]");
    other.process();
    EXPECT_EQ(other.outputText(), std::string("a") + '\0');
}

TEST(TTMProcessorRun, WaitingCallIsEvaluatedAgainInLaterTurns) {
    WaitingProcessor processor;
    processor.setInput("#[out;#[wait]]");
    EXPECT_FALSE(processor.run(0));  // first evaluation: waiting
    EXPECT_EQ(processor.evaluations, 1);
    EXPECT_FALSE(processor.run(0));  // still waiting
    EXPECT_FALSE(processor.run(0));  // done; its result is still to be scanned
    EXPECT_EQ(processor.evaluations, 3);
    EXPECT_EQ(processor.pendingCall, nullptr);
    EXPECT_TRUE(processor.run(0));
    EXPECT_EQ(processor.outputText(), std::string("done") + '\0');
}

TEST(TTMProcessorRun, WaitingCallIsDroppedAfterItsTimeout) {
    WaitingProcessor processor;
    processor.setInput("#[out;x#[wait]y]");
    EXPECT_FALSE(processor.run(0));
    processor.requestTimeout = -1;  // any wait is now too long
    EXPECT_FALSE(processor.run(0));
    EXPECT_EQ(processor.pendingCall, nullptr);
    EXPECT_EQ(processor.requestState, RequestIdle);
    EXPECT_TRUE(processor.run(0));
    EXPECT_EQ(processor.outputText(), std::string("xy") + '\0');
}

TEST(TTMProcessorRun, YieldEndsTheTurn) {
    WaitingProcessor processor;
    processor.setInput("#[yield]#[.=;a;1]");
    EXPECT_FALSE(processor.run(0));
    EXPECT_EQ(processor.findForm("a"), nullptr);
    EXPECT_TRUE(processor.run(0));
    EXPECT_NE(processor.findForm("a"), nullptr);
}

TEST(TTMProcessorRun, TraceDumpAtTheEnd) {
    TTMProcessor processor;
    std::string printed = printedBy([&] { runOn(processor, "#[cout+]#[out;hi]"); });
    EXPECT_EQ(printed, "\nStack: []\nForms: Output: hi");
    // process prints the same dump, here with an open call on the stack and no output.
    TTMProcessor other;
    start(other, "#[cout+]top#[x;a;b");
    printed = printedBy([&] { other.process(); });
    EXPECT_EQ(printed, "\nStack: [b,top]\nForms: Output: ");
}

TEST(TTMFormCall, ArgumentsReplaceTheirMarks) {
    EXPECT_EQ(runTemplate("#[.=;f;[<a href=\"X\">Y</a>]]#[=.;f;X;Y]#[out;#[f;u;v]]"), "<a href=\"u\">v</a>");
    // Marks of parameters the call does not give are removed up to the first gap.
    EXPECT_EQ(runTemplate("#[.=;f;[A-B-C]]#[=.;f;A;B;C]#[out;#[f;x]]"), "x--");
    EXPECT_EQ(runTemplate("#[.=;f;[A-C]]#[=.;f;A;;C]#[out;#[f;x]]"), "x-\xFF\x03");
    // An inserted argument is not searched again.
    EXPECT_EQ(runTemplate("#[.=;f;[XX]]#[=.;f;X]#[out;#[f;\xFF\x01]]"), "\xFF\x01\xFF\x01");
}

// What a form call prints beside its output: unused parameters (never for
// the class method forms), an empty segment argument keeping the numbering,
// missing forms.
TEST(TTMFormCall, UnusedParametersAndMissingFormsAreReported) {
    struct Case {
        const char *page, *output, *printed;
    } cases[] = {
        {"#[.=;f;plain]#[f;z]", "", "\nWarning: Parameter {1} not used in form 'f', arg = z!"},
        {"#[.=;CLASSMETHOD;plain]#[CLASSMETHOD;z]", "", ""},
        {"#[.=;CLASSOBJECTMETHOD;plain]#[CLASSOBJECTMETHOD;z;y]", "", ""},
        {"#[.=;f;[aXbYc]]#[=.;f;;Y]#[out;#[f;1;2]]", "aXb2c", "\nWarning: Parameter {1} not used in form 'f', arg = 1!"},
        {"#[out;a#[nope;1]b]", "ab", "\nError: Unable to find form 'nope' !"},
        {"#[=.;nope;x]", "", "\nError: Unable to find form 'nope' !"},
    };
    for (const Case& test : cases) {
        std::string output;
        EXPECT_EQ(printedBy([&] { output = runTemplate(test.page); }), test.printed) << test.page;
        EXPECT_EQ(output, test.output) << test.page;
    }
}

TEST(TTMFormCall, MovedPointerGivesTheRest) {
    TTMProcessor processor;
    EXPECT_EQ(runOn(processor, "#[.=;f;[hello]]#[*v;f;2]#[out;#[f]]"), std::string("llo") + '\0');
    runOn(processor, "#[=.;f]");
    EXPECT_EQ(processor.findForm("f")->text, "llo");
    EXPECT_EQ(processor.findForm("f")->pointer, 0u);
}

TEST(TTMFormCall, ParametersPastTheMarkRangeAreHarmless) {
    std::string args;
    for (int i = 0; i < 300; ++i) args += ";a" + std::to_string(i);
    std::string output;
    printedBy([&] { output = runTemplate("#[.=;f;[P-Q]]#[=.;f;P" + args + "]#[out;#[f;x" + args + "]]"); });
    EXPECT_EQ(output, "x-Q");
}

TEST(TTMEvaluator, FailingWordBecomesTTMError) {
    EXPECT_EQ(failureOf("#[chr;55296]"),
              "eval: failed - Invalid code point, func_name:chr, functionExpression:55296");
    EXPECT_EQ(failureOf("#[.=;f;x]#[is;f]"),
              "eval: failed - Index (2) out of bounds!, func_name:is, functionExpression:f");
    EXPECT_EQ(failureOf("#[(.);a\xC3]"),
              "eval: failed - Not enough space, func_name:(.), functionExpression:a\xC3");
}

TEST(TTMEvaluator, FailureLeavesTheProcessorUsable) {
    TTMProcessor processor;
    start(processor, "#[chr;-1]#[out;after]");
    EXPECT_THROW(processor.run(0), TTMError);
    EXPECT_EQ(processor.pendingCall, nullptr);
    EXPECT_TRUE(processor.run(0));
    EXPECT_EQ(processor.outputText(), std::string("after") + '\0');
}

TEST(TTMEvaluator, ArgumentCountCheck) {
    Active call;
    call.args = {"w", "one", "two"};
    TTMProcessor processor;
    std::string errors = errorsOf([&] { EXPECT_TRUE(processor.checkArgs(&call, 4)); });
    EXPECT_EQ(errors, "\nError: Function w args=3, but 4 required!");
    EXPECT_FALSE(processor.checkArgs(&call, 3));
}

TEST(TTMPages, AppendBuildsAText) {
    TTMProcessor processor;
    EXPECT_EQ(runOn(processor, "#[.=;list;]#[append;list;a]#[append;list;,b]#[out;#[list]]"),
              std::string("a,b") + '\0');
}
