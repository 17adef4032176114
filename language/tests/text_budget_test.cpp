// Tests of the process-wide text budget: what a run holds in it, refusals
// when it is spent, exact recounts of runs that hold less than they were
// charged, and the share each run gives back when it ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "TTMProcessor.h"
#include "TTMTestUtil.h"
#include "TextBudget.h"

using namespace VekLanguage;
using namespace VekLanguageTest;

namespace {

constexpr std::size_t Limit = 1 << 20;  // budget of these tests

// Sets a small budget for one test and puts the default back.
class TextBudgetTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(TextBudget::used(), 0u);
        TextBudget::setLimit(Limit);
    }
    void TearDown() override {
        TextBudget::setLimit(DefaultTextBudget);
        EXPECT_EQ(TextBudget::used(), 0u) << "a share was not given back";
        EXPECT_EQ(TextBudget::clientUsed(), 0u) << "a client's share was not given back";
    }
};

// Runs text until it finishes or fails; the start of the failure's text
// ("eval: failed - " taken off), else "". A form x of xBytes is defined
// first.
std::string runToEnd(TTMProcessor& processor, const std::string& text, std::size_t xBytes = Limit / 8) {
    try {
        processor.defineFormAtLevel("x", std::string(xBytes, 'x'), 0);
        start(processor, text);
        while (!processor.run(30)) {
        }
    } catch (const std::exception& e) {
        std::string failure = e.what();
        if (failure.compare(0, 15, "eval: failed - ") == 0) failure.erase(0, 15);
        return failure.substr(0, failure.find(','));
    }
    return std::string();
}

const std::string Spent = "Text too long: the server's text budget is spent";

}  // namespace

// Each kind of text a run holds counts: forms (their names too, the forms
// of a pattern's groups, the marks "=." writes), the output block, open
// calls. A run that would hold more than the budget fails; one that holds
// less runs.
TEST_F(TextBudgetTest, EveryKindOfHeldTextCountsAndTooMuchFails) {
    const struct {
        const char* what;
        const char* fits;
        const char* passes;
    } cases[] = {
        {"forms", "#[.=;y;##[x]]", "#[.=;y;##[x]##[x]]#[.=;z;##[y]]"},
        {"output block", "#[out;##[x]]", "#[out;##[x]##[x]##[x]]"},
        {"open calls", "#[#;##[x]##[x]]", "#[#;##[x]##[x]##[x]##[x]##[x]##[x]##[x]##[x]]"},
        {"form names", "#[.=;##[x];]",
         "#[.=;##[x]1;]#[.=;##[x]2;]#[.=;##[x]3;]#[.=;##[x]4;]#[.=;##[x]5;]#[.=;##[x]6;]#[.=;##[x]7;]#[.=;##[x]8;]"},
        {"capture forms", "#[RegEx;(x*);##[x];;c;1]", "#[RegEx;((((((((x*))))))));##[x];;c;8]"},
        {"parameter marks", "#[.=;y;##[x]]#[=.;y;x]",
         "#[.=;y;##[x]]#[=.;y;x]#[=.;y;\x01]#[=.;y;\x01]#[=.;y;\x01]#[=.;y;\x01]#[=.;y;\x01]#[=.;y;\x01]"},
    };
    for (const auto& c : cases) {
        TTMProcessor fits;
        EXPECT_EQ(runToEnd(fits, c.fits), "") << c.what;
        EXPECT_LE(TextBudget::used(), Limit) << c.what;
        TTMProcessor passes;
        EXPECT_EQ(runToEnd(passes, c.passes), Spent) << c.what;
    }
}

// A run charged for text it no longer holds (forms replaced again and
// again, a level left) is counted exactly before another run is refused.
TEST_F(TextBudgetTest, RunsChargedForTextTheyDroppedAreRecountedBeforeARefusal) {
    TTMProcessor churn;
    churn.maxTextBytes = 4 * Limit;
    const char* const churning = "#[.+]#[.=;f;[#[.=;c;##[x]]#[.=;n;#[+;#[n];1;0]]#[>=n;#[n];12;;[#[f]]]]]#[.=;n;0]#[f]#[.-]";
    EXPECT_EQ(runToEnd(churn, churning, Limit / 16), "");
    TTMProcessor next;
    EXPECT_EQ(runToEnd(next, "#[.=;y;##[x]##[x]]"), "");
    EXPECT_LE(TextBudget::used(), Limit);
}

// What a run held goes back when it ends, also when it failed halfway or
// was left with its calls open; a run that fails leaves the others as they
// were.
TEST_F(TextBudgetTest, SharesGoBackWhenRunsEndFailOrAreDropped) {
    auto keeper = std::make_unique<TTMProcessor>();
    EXPECT_EQ(runToEnd(*keeper, "#[.=;k;##[x]]#[.=;x;]"), "");
    // An exact count of the keeper, as a refusal makes.
    { TTMProcessor failing;
      EXPECT_EQ(runToEnd(failing, "#[.=;f;##[x]##[x]##[x]]"), Spent); }
    const std::size_t kept = TextBudget::used();
    EXPECT_GE(kept, Limit / 8);
    {
        TTMProcessor failing;
        EXPECT_EQ(runToEnd(failing, "#[.=;f;##[x]##[x]##[x]]"), Spent);
    }
    EXPECT_EQ(TextBudget::used(), kept);
    {
        TTMProcessor dropped;
        EXPECT_EQ(runToEnd(dropped, "#[#;##[x]"), "");
        EXPECT_GE(TextBudget::used(), kept + Limit / 4);
    }
    EXPECT_EQ(TextBudget::used(), kept);
    keeper.reset();
    EXPECT_EQ(TextBudget::used(), 0u);
}

// Page text printed to the console ("pf", the "cout" echo, the warnings and
// errors that repeat a name, an argument, a file handle's or a global
// form's name) counts against the run's own limit, summed over the run,
// but holds nothing in the budget.
TEST_F(TextBudgetTest, PrintedTextCountsAgainstTheRunsLimitOnly) {
    const std::string text(100, 'p');
    auto twentyTimes = [](const std::string& call) {
        std::string calls;
        for (int i = 0; i < 20; ++i) calls += call;
        return calls;
    };
    // heldBelow: the page's own forms and input stay under it.
    auto printsToTheLimit = [](const std::string& page, std::size_t heldBelow) {
        TTMProcessor printer;
        printer.clientText = true;  // its global forms stay its own
        printer.maxTextBytes = 2000;
        std::string failure;
        std::string printed = printedBy([&] { failure = runToEnd(printer, page, 0); });
        EXPECT_EQ(failure, "Text too long") << page;
        EXPECT_LE(printed.size(), 2000u) << page;
        EXPECT_GE(printed.size(), 2000u - heldBelow) << page;
        // The run holds what it needs (less than heldBelow) and its slack.
        EXPECT_LT(printer.budgetBytes(), heldBelow + TTMProcessor::budgetSlack(heldBelow)) << page;
    };
    const std::string pages[] = {
        "#[.=;p;" + text + "]#[.=;f;[#[pf;p]#[f]]]#[f]",
        "#[cout+]#[.=;f;[#[cout;" + text + "]#[f]]]#[f]",
        "#[.=;p;x]#[.=;f;[#[p;" + text + "]#[f]]]#[f]",
        "#[.=;f;[#[" + text + "]#[f]]]#[f]",
    };
    for (const std::string& page : pages) printsToTheLimit(page, 1000);
    // Twenty messages that repeat a name print well past the limit, and no
    // more without it; the name is held in a form as well.
    const std::string namedPages[] = {
        "#[.=;t;" + text + "]" + twentyTimes("#[frc;##[t]]"),
        "#[.=;t;" + text + "]" + twentyTimes("#[=;##[t];v]"),
        "#[.=;t;" + text + "]#[=;##[t];v]" + twentyTimes("#[=x;##[t]]"),
    };
    for (const std::string& page : namedPages) printsToTheLimit(page, 1300);
}

// Client text (raw requests, "#[" paths) together holds at most half of the
// budget, so however many clients fill theirs, a page still gets the other
// half; a run that becomes client text after it took its first share (as
// the server marks it once it has chosen the text) moves it over.
TEST_F(TextBudgetTest, ClientTextTogetherHoldsAtMostHalfSoPagesKeepTheirs) {
    std::vector<std::unique_ptr<TTMProcessor>> clients;
    int kept = 0;
    for (int n = 0; n < 12; ++n) {
        clients.push_back(std::make_unique<TTMProcessor>());
        TTMProcessor& client = *clients.back();
        client.clientText = true;
        // Each keeps a sixteenth of the budget: x and a copy of it.
        if (runToEnd(client, "#[.=;k;##[x]]", Limit / 32).empty()) ++kept;
    }
    EXPECT_LT(kept, 8);
    EXPECT_GE(TextBudget::clientUsed(), Limit / 4);
    EXPECT_LE(TextBudget::clientUsed(), Limit / 2);
    TTMProcessor page;
    EXPECT_EQ(runToEnd(page, "#[.=;k;##[x]##[x]]", Limit / 16), "");  // holds 7/16 at its peak
    TTMProcessor turned;
    turned.defineFormAtLevel("x", std::string(Limit / 8, 'x'), 0);
    start(turned, std::string());  // x is held as a page's share
    std::string failure;
    try {
        turned.clientText = true;
        turned.setInput("#[.=;k;##[x]]");
        while (!turned.run(30)) {
        }
    } catch (const TTMError& e) {
        failure = e.what();
    }
    EXPECT_NE(failure.find(Spent), std::string::npos) << failure;
    EXPECT_LE(TextBudget::clientUsed(), Limit / 2);
}

// Text is charged when it changes: a form defined again, a level left or an
// output replaced gives its bytes back, so a page that redefines its
// counter a hundred thousand times holds what it holds after the first
// few, not a count that grew with every definition.
TEST_F(TextBudgetTest, ReplacedTextIsGivenBackAsItIsReplaced) {
    const std::string pages[] = {
        "#[.=;n;0]#[.=;f;[#[.=;n;#[+;#[n];1;0]]#[>=n;#[n];100000;;[#[f]]]]]#[f]",
        "#[.=;n;0]#[.=;f;[#[.+]#[.=;t;#[n]]#[.-]#[out;#[n]]#[.=;n;#[+;#[n];1;0]]#[>=n;#[n];100000;;[#[f]]]]]#[f]",
    };
    for (const std::string& page : pages) {
        TTMProcessor processor;
        start(processor, page);
        std::size_t most = 0;
        while (!processor.run(30)) most = std::max(most, processor.budgetBytes());
        EXPECT_LT(most, 64u << 10) << page;
    }
}
