// Tests of the system and binary words: "df", "load", "system",
// "outLoadBinary", "base64LoadBinary", "base64SaveBinary" and
// "outBase64Decode", with their "-write" and "-system" refusals.
#include <gtest/gtest.h>

#include <string>

#include "TTMProcessor.h"
#include "TTMRun.h"
#include "TTMTestUtil.h"
#include "WordsTestUtil.h"

using namespace VekLanguage;
using namespace VekLanguageTest;

namespace {

// length bytes 0, 1, ..., 255, 0, 1, ... (NUL bytes included).
std::string binaryBytes(std::size_t length) {
    std::string bytes;
    for (std::size_t i = 0; i < length; ++i) bytes += static_cast<char>(i * 7 % 256);
    return bytes;
}

class SystemWords : public testing::Test {
protected:
    // Runs page (every "@" standing for the test's folder) on processor.
    std::string run(TTMProcessor& processor, const std::string& page) {
        return runOn(processor, inFolder(page, dir.root));
    }
    // The same on a fresh processor; the output without its final NUL.
    std::string run(const std::string& page) {
        TTMProcessor processor;
        std::string output = run(processor, page);
        if (!output.empty() && output.back() == '\0') output.pop_back();
        return output;
    }

    TempDir dir;  // this test's files
};

}  // namespace

TEST_F(SystemWords, SystemGivesTheRawWaitStatus) {
    SwitchGuard on(allowSystemCommands, true);
    EXPECT_EQ(run("#[out;#[system;exit 3]]"), "768");
    EXPECT_EQ(run("#[out;#[system;true]]"), "0");
    EXPECT_EQ(run("#[out;#[system;[echo made > @/made]]]"), "0");
    EXPECT_EQ(readBytes(dir.path("made")), "made\n");
}

// Each word that changes files or runs commands refuses while its switch is
// off: it prints the refusal naming the option and changes nothing.
TEST_F(SystemWords, GuardedWordsNeedTheirSwitch) {
    struct Case {
        bool* permission;     // the switch the word needs
        const char* page;     // the word in a page
        const char* result;   // the page's output when refused
        const char* printed;  // the refusal
        const char* file;     // a file the word would change
        bool fileExists;      // whether that file is there before and after
    };
    const Case cases[] = {
        {&allowSystemCommands, "#[out;#[system;[touch @/made]]]", "-1",
         "Command \"system\" not allowed! Set command line option \"-system\" to allow it.\n", "made", false},
        {&allowWriteCommands, "#[out;#[df;@/a;refused]]", "refused",
         "Command: \"df\" (delete file) not allowed! Set command line option \"-write\" to allow it.\n", "a", true},
        {&allowWriteCommands, "#[out;[<]#[base64SaveBinary;@/out;YWJj][>]]", "<>",
         "Command: \"base64SaveBinary\" not allowed! Set command line option \"-write\" to allow it.\n", "out",
         false},
    };
    writeBytes(dir.path("a"), "x");
    for (const Case& c : cases) {
        SwitchGuard off(*c.permission, false);
        std::string printed = printedBy([&] { EXPECT_EQ(run(c.page), c.result) << c.page; });
        EXPECT_EQ(printed, c.printed);
        EXPECT_EQ(exists(dir.path(c.file)), c.fileExists) << c.page;
    }
    SwitchGuard on(allowWriteCommands, true);
    EXPECT_EQ(run("#[out;[<]#[df;@/a;failed][>]]"), "<>");
    EXPECT_FALSE(exists(dir.path("a")));
    EXPECT_EQ(run("#[out;#[df;@/a;failed]]"), "failed");
}

// The whole-file words give a file's text; a missing or empty file gives
// none, and so does a device, which never ends: they treat it as a file
// they cannot open instead of holding the server thread or filling memory.
TEST_F(SystemWords, WholeFileWordsReadFilesAndRefuseDevices) {
    writeBytes(dir.path("a"), "line one\nline two");
    writeBytes(dir.path("empty"), "");
    EXPECT_EQ(run("#[out;##[load;@/a]]"), "line one\nline two");
    for (const char* page : {"#[out;[<]#[load;@/none;failed][>]]", "#[out;[<]##[load;/dev/zero][>]]",
                             "#[out;[<]#[base64LoadBinary;@/empty;failed][>]]",
                             "#[out;[<]#[base64LoadBinary;@/none;failed][>]]",
                             "#[out;[<]##[base64LoadBinary;/dev/urandom][>]]"})
        EXPECT_EQ(run(page), "<>") << page;
    TTMProcessor processor;
    EXPECT_EQ(run(processor, "#[outLoadBinary;/dev/zero;failed]"), "");
    EXPECT_EQ(processor.getOutput(), nullptr);
}

TEST_F(SystemWords, OutLoadBinaryAppendsTheBytesExactly) {
    const std::string bytes = binaryBytes(2500);
    writeBytes(dir.path("bin"), bytes);
    TTMProcessor processor;
    EXPECT_EQ(run(processor, "#[outLoadBinary;@/bin;failed]#[outLoadBinary;@/none;failed]"), bytes);
    EXPECT_EQ(processor.outputLength(), 2500u);
    // Appended after text that "out" put there (with its NUL).
    TTMProcessor after;
    EXPECT_EQ(run(after, "#[out;ab]#[outLoadBinary;@/bin]"), std::string("ab\0", 3) + bytes);
}

TEST_F(SystemWords, OutBase64DecodeAppendsTheDecodedBytes) {
    TTMProcessor processor;
    run(processor, "#[.=;n;#[outBase64Decode;YWJj]]#[outBase64Decode;AAEC]#[outBase64Decode;]");
    EXPECT_EQ(processor.outputText(), std::string("abc\0\1\2", 6));
    EXPECT_EQ(processor.findForm("n")->text, "3");
}

TEST_F(SystemWords, Base64SaveBinaryWritesTheDecodedBytes) {
    SwitchGuard on(allowWriteCommands, true);
    const std::string bytes = binaryBytes(2500);
    writeBytes(dir.path("in"), bytes);
    EXPECT_EQ(run("#[out;[<]#[base64SaveBinary;@/out;##[base64LoadBinary;@/in]][>]]"), "<>");
    EXPECT_EQ(readBytes(dir.path("out")), bytes);
    const mode_t saved = ::umask(0);
    EXPECT_EQ(run("#[base64SaveBinary;@/abc;YWJj]"), "");
    ::umask(saved);
    EXPECT_EQ(readBytes(dir.path("abc")), "abc");
    EXPECT_EQ(permissionsOf(dir.path("abc")), 0600);  // the owner's alone
}

// Text that is not base64 decodes to nothing: the output stays empty and a
// saved file is left empty.
TEST_F(SystemWords, InvalidBase64GivesNoBytes) {
    SwitchGuard on(allowWriteCommands, true);
    for (const char* text : {"YW!j", "YWJjZ", "YWJ", "Y"}) {
        TTMProcessor processor;
        errorsOf([&] { run(processor, std::string("#[.=;n;[<]#[outBase64Decode;") + text + "][>]]"); });
        EXPECT_EQ(processor.getOutput(), nullptr) << text;
        EXPECT_EQ(processor.findForm("n")->text, "<>") << text;
        writeBytes(dir.path("out"), "old");
        errorsOf([&] { run(std::string("#[base64SaveBinary;@/out;") + text + "]"); });
        EXPECT_TRUE(exists(dir.path("out"))) << text;
        EXPECT_EQ(readBytes(dir.path("out")), "") << text;
    }
}
