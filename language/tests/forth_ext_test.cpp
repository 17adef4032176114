// Tests of the Forth extension words run as Forth text on a processor:
// their results and stack effects, the patterns they refuse, the forms and
// output block they fill, files and paths, bans, and a pending exchange.
// Base sessions through the console: forth_ext_e2e.py.
#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>

#include "ForthExtensions.h"
#include "kernel/tests/LoopbackPeer.h"
#include "LanguageSwitches.h"
#include "WordsTestUtil.h"

using namespace VekLanguage;
using namespace VekLanguageTest;

namespace {

class Forth : public ForthProcessor {
public:
    Forth() {
        reset();
        // z" text" leaves the address of a NUL-terminated copy in the data space.
        evaluate(": z\" [char] \" parse tuck here swap cmove here swap allot 0 c, ;");
    }
    void process() override {}
    bool run(int64) override { return true; }
    void init(const std::string&) override {}
    void setInput(const std::string&) override {}

    // Runs program and takes the text result it leaves (address, length).
    std::string text(const std::string& program) {
        evaluate(program);
        const Cell length = pop();
        return std::string(reinterpret_cast<const char*>(pop()), static_cast<std::size_t>(length));
    }
    Cell number(const std::string& program) {
        evaluate(program);
        return pop();
    }
    std::string form(const std::string& name) {
        Form* found = findLevelForm(name);
        return found != nullptr ? found->rest() : "<none>";
    }
};

// Runs each test in a fresh folder that is also the working directory, so
// that relative paths (the only ones the words accept) land there.
class ForthWords : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(getcwd(saved, sizeof saved), saved);
        ASSERT_EQ(chdir(folder.root.c_str()), 0);
    }
    void TearDown() override { ASSERT_EQ(chdir(saved), 0); }

    TempDir folder;
    char saved[PATH_MAX];
    Forth forth;
};

TEST_F(ForthWords, EveryTableRowIsFoundByItsName) {
    for (const KernelWord* row = forthExtensionWords; row->name != nullptr; ++row) {
        const Definition* found = forth.find(row->name, std::strlen(row->name));
        ASSERT_NE(found, nullptr) << row->name;
        // Names differ from the kernel's and the bootstrap's, and only this
        // pair differs in case alone.
        EXPECT_EQ(found->handler == row->handler, std::string(row->name) != "~~^n") << row->name;
    }
}

TEST_F(ForthWords, TextResults) {
    const struct {
        const char* program;
        const char* result;
    } cases[] = {
        {"z\" abc\" MD5", "900150983CD24FB0D6963F7D28E17F72"},
        {"42 z\" %05I64d|I64\" fmtl", "00042|ll"},
        {"-2 z\" %llu\" fmtl", "18446744073709551614"},
        {"255 z\" %x\" 0 refmtl", "ff"},  // the top cell is never read
        {"-1 z\" %.0f\" fmtd", "18446744073709551616"},
        {"z\" GMT\" 1000000000123 z\" %Y-%m-%d %H:%M:%S.%s\" fmtTime", "2001-09-09 01:46:40.123"},
        {"z\" a,b\" z\" ,\" ~~///...", "00000001a00000001b"},
        {"z\" 00000001a00000001b\" z\" /\" ~~...///", "a/b"},
        {"0 z\" m\" z\" \" z\" abbc\" z\" b+\" RegEx", "3"},
        {"0 z\" m\" z\" IGNORE_CASE\" z\" abc\" z\" B\" RegEx", "2"},
        {"z\" k\" 0 z\" temp_absent\" ~~?.", "false"},
        {"0 z\" temp_absent\" ~~^N", ""},
        // An empty result passed on: its address is the end of a held text.
        {"0 z\" temp_absent\" ~~^N drop MD5", "D41D8CD98F00B204E9800998ECF8427E"},
        // A pattern the checked formatting refuses gives the empty text.
        {"42 z\" %n\" fmtl", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(forth.text(c.program), c.result) << c.program;
    EXPECT_EQ(forth.depth(), 0);
}

TEST_F(ForthWords, NumberResults) {
    const struct {
        const char* program;
        Cell result;
    } cases[] = {
        {"31 1 lShiftBits", INT32_MIN},  // 32-bit, sign-extended
        {"32 1 lShiftBits", 1},          // counts modulo 32
        {"-1 1 lShiftBits", INT32_MIN},
        {"1 4294967288 rShiftBits", -4},  // low half -8
        {"2147483648 countBits", 33},     // a negative low half adds 32
        {"255 countBits", 8},
        {"5 1 rand", 5},
        {"-3 -1 rand", -3},
        {"z\" k\" 0 z\" temp_absent\" ~~+.", 0},
        {"z\" k\" 0 z\" temp_absent\" ~~>?", -1},
        {"z\" p\" z\" u\" 0 z\" temp_absent\" ~~v", -1},
    };
    for (const auto& c : cases) EXPECT_EQ(forth.number(c.program), c.result) << c.program;
    // The most negative range and wrapping sums stay 32-bit values.
    for (const char* program : {"2147483647 -2147483648 rand", "2147483647 0 rand"}) {
        const Cell r = forth.number(program);
        EXPECT_TRUE(r >= INT32_MIN && r <= INT32_MAX) << program;
    }
    EXPECT_EQ(forth.depth(), 0);
}

TEST_F(ForthWords, FailingWordsLeaveTheStackAsItWas) {
    const struct {
        const char* program;
        const char* message;
        int depth;
    } cases[] = {
        {"1 2 3 4 RegEx", "RegEx: stack underflow", 4},
        {"1 2 0 MD5", "MD5: invalid address", 3},
        {"12345 z\" temp_absent\" ~~+.", "~~+.: stack underflow", 2},
        {"1 0 fmtl", "fmtl: invalid address", 2},
        {"z\" x\" z\" temp_absent\" 1 ~~u+", "~~u+: stack underflow", 3},
    };
    for (const auto& c : cases) {
        forth.reset();
        forth.evaluate(": z\" [char] \" parse tuck here swap cmove here swap allot 0 c, ;");
        try {
            forth.evaluate(c.program);
            ADD_FAILURE() << c.program;
        } catch (const AbortException& failure) {
            EXPECT_STREQ(failure.what(), c.message);
        }
        EXPECT_EQ(forth.depth(), c.depth) << c.program;
    }
}

TEST_F(ForthWords, RegExCapturesBecomeFormsAtTheCurrentLevel) {
    EXPECT_EQ(forth.text("3 z\" g\" z\" \" z\" xaby\" z\" (a)(b)(z*)\" RegEx"), "3");
    EXPECT_EQ(forth.form("g0") + forth.form("g1") + forth.form("g2"), "ab<none>");
    EXPECT_EQ(forth.text("1 z\" h\" z\" \" z\" ab\" z\" (a)(b)\" RegEx"), "-7");
    EXPECT_EQ(forth.text("0 0 z\" \" z\" ab\" z\" (a)\" RegEx") + forth.form("h0"), "1<none>");
    forth.evaluate("z\" one\" z\" f\" append");
    EXPECT_EQ(forth.form("f"), "<none>");  // level 0 holds nothing: the form is global
}

TEST_F(ForthWords, OutputBlockAndBase64Files) {
    SwitchGuard write(allowWriteCommands, true);
    forth.evaluate("z\" AAEC/w==\" z\" bytes\" base64SaveBinary");
    EXPECT_EQ(readBytes("bytes"), std::string("\0\1\2\xff", 4));
    EXPECT_EQ(forth.text("z\" bytes\" base64LoadBinary"), "AAEC/w==");
    EXPECT_EQ(forth.text("z\" bytes\" getFileSize"), "4");
    EXPECT_EQ(forth.text("z\" aGk=\" outBase64Decode"), "2");
    forth.evaluate("0 z\" bytes\" outLoadBinary");
    EXPECT_EQ(forth.text("z\" a=b\" outBase64Decode"), "");  // not a multiple of 4
    EXPECT_EQ(forth.outputText(), std::string("hi\0\1\2\xff", 6));
    // Paths that leave the working directory are files that cannot be opened.
    for (const char* path : {"../bytes", "/etc/hostname"})
        EXPECT_EQ(forth.text("z\" " + std::string(path) + "\" base64LoadBinary") +
                      forth.text("z\" " + std::string(path) + "\" getFileTime"),
                  "0")
            << path;
    allowWriteCommands = false;
    forth.evaluate("z\" AAAA\" z\" bytes\" base64SaveBinary");
    EXPECT_EQ(readBytes("bytes").size(), 4u);
}

TEST_F(ForthWords, BansAndPathsKeepFileBasesFromBeingCreated) {
    {
        SwitchGuard ban(banBaseWrite, true);
        forth.evaluate("z\" banned\" ~~+ z\" memory_m\" ~~+");
        EXPECT_FALSE(exists("banned1"));
        EXPECT_GE(forth.number("z\" \" z\" \" 0 z\" memory_m\" ~~v"), 0);
    }
    forth.evaluate("z\" ../outside\" ~~+");
    EXPECT_EQ(forth.number("z\" \" z\" \" 0 z\" ../outside\" ~~v"), -1);
}

TEST(ForthConnectionWords, AnExchangeLeftPendingEndsWithItsProcessor) {
    LoopbackPeer peer;  // accepts through the backlog, never answers
    const std::string port = std::to_string(peer.port);
    {
        Forth forth;
        forth.evaluate("z\" 127.0.0.1\" constant host " + port + " host ~+");
        EXPECT_EQ(forth.text("z\" ping\" 5 " + port + " host ~>"), "");  // still waiting
        forth.evaluate(port + " host ~-");
    }  // the pending client goes with the processor
}

}  // namespace
