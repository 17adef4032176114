// Tests of client text and the global forms: a run of text that came from
// the client changes, creates and moves global forms only in its own view,
// which ends with the run; pages keep sharing them.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <utility>

#include "TTMProcessor.h"
#include "TTMTestUtil.h"

using namespace VekLanguage;
using namespace VekLanguageTest;

namespace {

// The start-up script of a small site: the wrapper and a layout macro.
const char* const StartupScript =
    "#[=;vek_prog;[{PROGRAM}]]#[=.;vek_prog;{PROGRAM}]"
    "#[=;layout;[<body>{C}</body>]]#[=.;layout;{C}]";

// Text and pointer of every global form.
std::map<std::string, std::pair<std::string, std::size_t>> globalSnapshot() {
    std::map<std::string, std::pair<std::string, std::size_t>> snapshot;
    for (const auto& entry : LanguageProcessor::globalForms)
        snapshot[entry.first] = {entry.second->text, entry.second->pointer};
    return snapshot;
}

// A run as the server starts it: the text wrapped in a call of vek_prog.
std::unique_ptr<TTMProcessor> serve(const std::string& text, bool fromClient) {
    std::unique_ptr<TTMProcessor> processor(new TTMProcessor());
    processor->clientText = fromClient;
    runOn(*processor, "#[vek_prog;[" + text + "]]");
    return processor;
}

class ClientForms : public testing::Test {
protected:
    void SetUp() override {
        LanguageProcessor::clearGlobalForms();
        TTMProcessor startup;
        startup.init(StartupScript);
        startup.process();
    }
    void TearDown() override { LanguageProcessor::clearGlobalForms(); }
};

}  // namespace

// Each attack runs as client text: inside its own run it works as it always
// did, but while it is alive and after it has ended a visitor's page sees the
// global forms exactly as the start-up script left them.
TEST_F(ClientForms, ClientTextNeverReachesAnotherRun) {
    const std::string visitor = "#[out;#[layout;v]|##[HTTP_PARAM_agree]|#[*^;vek_prog]|##[ciPwned]]";
    const std::string untouched = "<body>v</body>||0|";
    struct Case {
        const char* what;
        const char* attack;
        const char* seenByAttack;
    } cases[] = {
        {"wrapper rewritten",
         "#[.=;m;##[^*..);vek_prog]]#[trf;vek_prog;##[m];[#[=;ciPwned;1]]##[m]]#[out;#[tt;vek_prog;ciPwned;yes;no]]",
         "yes"},
        {"layout replaced", "#[is;layout;<body>;<body><script>x</script>]#[out;#[layout;c]]",
         "<body><script>x</script>c</body>"},
        {"parameter planted", "#[=;HTTP_PARAM_agree;on]#[out;##[HTTP_PARAM_agree]]", "on"},
        {"wrapper pointer moved", "#[*v;vek_prog;99999]#[out;#[*^;vek_prog]|#[^*..);vek_prog]]", "2|"},
        {"pointer read back in the run", "#[*v;layout;3]#[out;#[^*..);layout]]", "dy>\xFF\x01</body>"},
        {"segments and skips", "#[cs;layout]#[x*v;layout;<]#[^.;layout]#[^.;layout]#[out;#[*^;layout]]", "11"},
        {"marks rewritten", "#[=.;layout;body]#[out;#[layout;X]]", "<X>X</X>"},
        {"created form stays global in the run", "#[=;ciMine;a]#[=;ciMine;b]#[append;ciMine;c]#[=x;ciMine]"
         "#[out;##[ciMine]#[existsf;ciMine]]", "atrue"},
    };
    const auto before = globalSnapshot();
    for (const Case& c : cases) {
        std::unique_ptr<TTMProcessor> attacker;
        printedBy([&] { attacker = serve(c.attack, true); });
        EXPECT_EQ(outputOf(*attacker), c.seenByAttack) << c.what;
        std::string seen;
        printedBy([&] { seen = outputOf(*serve(visitor, false)); });
        EXPECT_EQ(seen, untouched) << c.what << " (attacker still running)";
        attacker.reset();
        printedBy([&] { seen = outputOf(*serve(visitor, false)); });
        EXPECT_EQ(seen, untouched) << c.what;
        EXPECT_EQ(globalSnapshot(), before) << c.what;
    }
}

// A client run's own global forms are listed and refused removal as global
// forms are; pages still share what they change.
TEST_F(ClientForms, OwnGlobalsListedAndPagesStillShare) {
    std::unique_ptr<TTMProcessor> client;
    std::string printed = printedBy([&] { client = serve("#[=;ciAdded;1]#[=x;ciAdded]#[out;#[ln;,]]", true); });
    EXPECT_EQ(outputOf(*client), "ciAdded,layout,vek_prog");
    EXPECT_EQ(printed, "Can not remove the global form \"ciAdded\"!");
    EXPECT_EQ(LanguageProcessor::globalForms.count("ciAdded"), 0u);
    serve("#[*v;layout;3]#[=;ciPage;p]", false);
    EXPECT_EQ(outputOf(*serve("#[out;#[*^;layout]##[ciPage]]", false)), "3p");
}
