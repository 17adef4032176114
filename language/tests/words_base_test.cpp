// Tests of the base words: pages reaching protected bases through the
// process-wide registry. Several pages are interleaved turn by turn the way
// the server runs them: a writer holds a base while another page's "~~v"
// waits, readers see only committed data, "~~vx" rolls back, bans keep
// pages from creating or writing bases, and the argument-count rules.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>

#include "LanguageSwitches.h"
#include "TTMProcessor.h"
#include "Words.h"
#include "VekFile.h"

using namespace VekLanguage;

namespace {

// One page: a processor that keeps its forms (and so its ids) between texts.
class Page {
public:
    Page() { processor.init(std::string()); }
    // Gives the page more text without running it.
    void give(const std::string& text) { processor.setInput(text); }
    // One turn of the server loop; true when the page has finished.
    bool turn() { return processor.run(30); }
    // Runs text to its end; its output ("" when there is none).
    std::string run(const std::string& text) {
        give(text);
        for (int turns = 0; turns < 1000 && !turn();) ++turns;
        return output();
    }
    std::string output() const {
        std::string text = processor.outputText();
        if (!text.empty() && text.back() == '\0') text.pop_back();
        return text;
    }

    TTMProcessor processor;
};

bool isId(const std::string& text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

class BaseWords : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vek-words-base-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
        memoryBase = std::string("temp_") + test->name();
        fileBase = dir + "/base";
    }
    void TearDown() override {
        banBaseWrite = false;
        banBaseCreate = false;
        allowWriteCommands = false;
        std::filesystem::remove_all(dir);
    }
    // Opens base on page and makes page its writer; the id is the form w.
    void takeWriter(Page& page, const std::string& base) {
        ASSERT_TRUE(isId(page.run("#[~~+;" + base + "]#[.=;w;##[~~v;" + base + ";30]]#[out;#[w]]")))
            << page.output();
    }
    // holder keeps fileBase open after its files were deleted ("~~x" by
    // another page, or "df"): it works on the files it has open, and its
    // commit, which needs them by name, fails cleanly (never through a
    // dropped cache entry). Its last "~~-" closes it.
    void useBaseWithoutItsFiles(Page& holder) {
        takeWriter(holder, fileBase);
        EXPECT_EQ(holder.run("#[out;##[~~+.;" + fileBase + ";#[w];again]|##[~~>.;" + fileBase + ";#[w];again]]"),
                  "true|true");
        try {
            holder.run("#[~~.;" + fileBase + ";#[w]]");
        } catch (const TTMError& failure) {
            EXPECT_NE(std::string(failure.what()).find("func_name:~~."), std::string::npos) << failure.what();
        }
        // The holder took two uses of the base; the last "~~-" closes it.
        holder.run("#[~~-;" + fileBase + "]#[~~-;" + fileBase + "]");
        Page after;
        EXPECT_EQ(after.run("#[out;<##[~~^;" + fileBase + "]>]"), "<>");
    }
    // A fresh reader's answer to "~~>." of key.
    std::string readerFinds(const std::string& base, const std::string& key) {
        Page reader;
        return reader.run("#[~~+;" + base + "]#[.=;r;##[~~^;" + base + "]]#[out;##[~~>.;" + base + ";#[r];" + key +
                          "]]#[~~.;" + base + ";#[r]]#[~~-;" + base + "]");
    }

    std::string dir;         // private directory of the file bases
    std::string memoryBase;  // an in-memory base of this test
    std::string fileBase;    // a file base of this test
};

}  // namespace

TEST(BaseTextWords, PackAndUnpackStringLists) {
    Page page;
    EXPECT_EQ(page.run("#[out;##[~~///...;ab/c;/]]"), "00000002ab00000001c");
    EXPECT_EQ(page.run("#[out;<##[~~///...;;/]>]"), "<>");
    EXPECT_EQ(page.run("#[out;##[~~...///;, ;00000002ab00000001c]]"), "ab, c");
}

TEST(BaseTextWords, WordsOnABaseThatIsNotOpenCallNothing) {
    Page page;
    page.give("#[out;##[~~+.;no_such_base;0;k]|##[~~>.;no_such_base;0;k]|##[~~^.;no_such_base;0]|"
              "##[~~(.);no_such_base;0]|##[~~>?;no_such_base;0;k]|##[~~^;no_such_base]|"
              "##[~~v;no_such_base;5]|##[SearchInIndex;no_such_base;0;q]|##[~~x;no_such_base;0;failed]]");
    EXPECT_TRUE(page.turn());  // "~~v" does not wait on a base that is not open
    EXPECT_EQ(page.output(), "false|false|||||||");
    Function call(Function::Kind::Active);
    call.args = {"", "no_such_base", "0"};
    EXPECT_EQ(baseGoSubLevel(page.processor, &call), "false");
}

TEST(BaseTextWords, TheBuiltinTableLeavesOutGoSubLevel) {
    for (const auto& word : TTMProcessor::builtinList()) EXPECT_NE(word.second, &baseGoSubLevel) << word.first;
}

TEST_F(BaseWords, WriterCommitsAndOnlyThenReadersSeeItsSymbols) {
    for (const std::string& base : {memoryBase, fileBase}) {
        Page writer;
        takeWriter(writer, base);
        EXPECT_EQ(writer.run("#[out;##[~~+.;" + base + ";#[w];apple]|##[~~^.;" + base + ";#[w]]|##[~~?.;" + base +
                             ";#[w];apple]]"),
                  "true|apple|true");
        EXPECT_EQ(readerFinds(base, "apple"), "false") << base;
        writer.run("#[~~.;" + base + ";#[w]]");
        EXPECT_EQ(readerFinds(base, "apple"), "true") << base;
        writer.run("#[~~-;" + base + "]");
    }
}

TEST_F(BaseWords, SecondWriterWaitsTurnByTurnAndGetsTheSlotAfterTheCommit) {
    Page first;
    takeWriter(first, fileBase);
    Page second;
    second.give("#[~~+;" + fileBase + "]#[.=;w;##[~~v;" + fileBase + ";30]]#[out;<#[w]>]");
    for (int turn = 0; turn < 3; ++turn) {
        EXPECT_FALSE(second.turn());
        EXPECT_EQ(second.processor.requestState, RequestWaiting);
    }
    EXPECT_EQ(second.output(), "");
    // The commit ends the first page's turn before its "out".
    first.give("#[~~+.;" + fileBase + ";#[w];k]#[~~.;" + fileBase + ";#[w]]#[out;after]");
    EXPECT_FALSE(first.turn());
    EXPECT_NE(first.output(), "after");
    while (!second.turn()) {
    }
    const std::string id = second.output();
    ASSERT_GE(id.size(), 2u);
    EXPECT_TRUE(id.front() == '<' && id.back() == '>' && isId(id.substr(1, id.size() - 2))) << id;
    EXPECT_EQ(second.run("#[out;##[~~>.;" + fileBase + ";#[w];k]|##[~~+.;" + fileBase + ";#[w];m]]"), "true|true");
    EXPECT_TRUE(first.turn());
    EXPECT_EQ(first.output(), "after");
}

TEST_F(BaseWords, WaitForTheWriterSlotEndsWithNoTextAfterItsTimeout) {
    Page first;
    takeWriter(first, memoryBase);
    Page second;
    second.give("#[~~+;" + memoryBase + "]#[out;<##[~~v;" + memoryBase + ";30]>]");
    EXPECT_FALSE(second.turn());
    EXPECT_EQ(second.processor.requestTimeout, 30);
    second.processor.waitStart -= 31;  // as if 31 seconds had passed
    EXPECT_FALSE(second.turn());       // the turn that drops the call
    EXPECT_EQ(second.processor.pendingCall, nullptr);
    EXPECT_TRUE(second.turn());
    EXPECT_EQ(second.output(), "<>");
}

TEST_F(BaseWords, WaitGoesOnWhenTheBaseClosesMeanwhile) {
    Page first;
    takeWriter(first, memoryBase);
    Page second;
    second.give("#[out;<##[~~v;" + memoryBase + ";30]>]");
    EXPECT_FALSE(second.turn());
    first.run("#[~~.;" + memoryBase + ";#[w]]#[~~-;" + memoryBase + "]");  // the last use: the base closes
    EXPECT_FALSE(second.turn());
    EXPECT_EQ(second.processor.requestState, RequestWaiting);
    second.processor.waitStart -= 31;
    while (!second.turn()) {
    }
    EXPECT_EQ(second.output(), "<>");
}

TEST_F(BaseWords, OnlyClosingTheWriterEndsTheTurn) {
    Page writer;
    takeWriter(writer, memoryBase);
    Page reader;
    reader.give("#[~~+;" + memoryBase + "]#[.=;r;##[~~^;" + memoryBase + "]]#[~~.;" + memoryBase +
                ";#[r]]#[out;read]");
    EXPECT_TRUE(reader.turn());
    EXPECT_EQ(reader.output(), "read");
    writer.give("#[~~.;" + memoryBase + ";#[w]]#[out;written]");
    EXPECT_FALSE(writer.turn());
    EXPECT_TRUE(writer.turn());
    EXPECT_EQ(writer.output(), "written");
}

TEST_F(BaseWords, CloseBaseRollsBackTheWriterAndFreesTheSlot) {
    Page page;
    takeWriter(page, fileBase);
    page.run("#[~~+.;" + fileBase + ";#[w];kept]#[~~.;" + fileBase + ";#[w]]");
    takeWriter(page, fileBase);
    EXPECT_EQ(page.run("#[out;##[~~+.;" + fileBase + ";#[w];gone]]"), "true");
    page.run("#[~~vx;" + fileBase + "]");
    EXPECT_EQ(readerFinds(fileBase, "gone"), "false");
    // The slot is free at once, and the write file lost the change too.
    Page next;
    next.give("#[~~+;" + fileBase + "]#[.=;w;##[~~v;" + fileBase + ";30]]#[out;##[~~>.;" + fileBase +
              ";#[w];kept]|##[~~>.;" + fileBase + ";#[w];gone]]");
    EXPECT_TRUE(next.turn());
    EXPECT_EQ(next.output(), "true|false");
}

TEST_F(BaseWords, AbandonedSessionsRollBackTheWriterAndReleaseTheReaders) {
    Page page;
    takeWriter(page, fileBase);
    page.run("#[~~+.;" + fileBase + ";#[w];kept]#[~~.;" + fileBase + ";#[w]]");
    takeWriter(page, fileBase);
    EXPECT_EQ(page.run("#[.=;r;##[~~^;" + fileBase + "]]#[out;##[~~+.;" + fileBase + ";#[w];half]|##[~~>.;" +
                       fileBase + ";#[r];kept]]"),
              "true|true");
    page.processor.abandonSessions();  // as when the server drops the run
    EXPECT_EQ(page.run("#[out;##[~~>.;" + fileBase + ";#[r];kept]]"), "false");
    Page next;
    next.give("#[~~+;" + fileBase + "]#[.=;w;##[~~v;" + fileBase + ";30]]#[out;##[~~>.;" + fileBase +
              ";#[w];kept]|##[~~>.;" + fileBase + ";#[w];half]]");
    EXPECT_TRUE(next.turn());  // the slot is free at once
    EXPECT_EQ(next.output(), "true|false");
}

TEST_F(BaseWords, AbandoningLeavesSessionsThePageEndedAlone) {
    Page first;
    takeWriter(first, memoryBase);
    first.run("#[.=;r;##[~~^;" + memoryBase + "]]#[~~.;" + memoryBase + ";#[r]]#[~~.;" + memoryBase + ";#[w]]");
    Page second;
    takeWriter(second, memoryBase);  // may get the id the first page had
    Page reader;
    reader.run("#[~~+;" + memoryBase + "]#[.=;r;##[~~^;" + memoryBase + "]]");
    first.processor.abandonSessions();
    EXPECT_EQ(second.run("#[out;##[~~+.;" + memoryBase + ";#[w];still]]"), "true");
    second.run("#[~~.;" + memoryBase + ";#[w]]");
    EXPECT_EQ(reader.run("#[out;##[~~>.;" + memoryBase + ";#[r];still]]"), "true");
}

TEST_F(BaseWords, LastRemoveClosesTheBase) {
    Page page;
    page.run("#[~~+;" + memoryBase + "]#[~~+;" + memoryBase + "]#[~~-;" + memoryBase + "]");
    EXPECT_TRUE(isId(page.run("#[out;##[~~^;" + memoryBase + "]]")));
    page.run("#[~~-;" + memoryBase + "]");
    EXPECT_EQ(page.run("#[out;<##[~~^;" + memoryBase + "]>]"), "<>");
}

// With either ban a page cannot create a file base: "~~+" of a new one
// opens nothing and "~~v" on it gives no id. The create ban still opens
// memory bases and file bases whose files exist.
TEST_F(BaseWords, BansOpenNoNewFileBase) {
    for (bool* ban : {&banBaseCreate, &banBaseWrite}) {
        *ban = true;
        Page page;
        page.give("#[~~+;" + fileBase + "]#[out;<##[~~v;" + fileBase + ";30]>]");
        EXPECT_TRUE(page.turn());  // nothing is open, so "~~v" does not wait
        EXPECT_EQ(page.output(), "<>");
        EXPECT_NE(VekKernel::fileAccess(fileBase + "1", 0), 0);
        EXPECT_NE(VekKernel::fileAccess(fileBase + "2", 0), 0);
        *ban = false;
    }
    Page page;
    page.run("#[~~+;" + fileBase + "]#[~~-;" + fileBase + "]");  // now the files exist
    banBaseCreate = true;
    EXPECT_TRUE(isId(page.run("#[~~+;" + memoryBase + "]#[out;##[~~^;" + memoryBase + "]]")));
    EXPECT_TRUE(isId(page.run("#[~~+;" + fileBase + "]#[out;##[~~^;" + fileBase + "]]")));
}

TEST_F(BaseWords, WriteBanTurnsWritersIntoReaders) {
    Page page;
    page.run("#[~~+;" + fileBase + "]#[~~-;" + fileBase + "]");
    banBaseWrite = true;
    takeWriter(page, fileBase);
    EXPECT_EQ(page.run("#[out;##[~~+.;" + fileBase + ";#[w];k]]"), "false");
    // A reader id does not hold the writer slot: another "~~v" gets one too.
    Page other;
    takeWriter(other, fileBase);
}

TEST_F(BaseWords, LoginsTakeUserAndPassPhraseOnlyWhenBothAreGiven) {
    Page admin;
    takeWriter(admin, fileBase);
    EXPECT_EQ(admin.run("#[out;##[~~u+;" + fileBase + ";#[w];ann;pw;admin]]"), "true");
    admin.run("#[~~.;" + fileBase + ";#[w]]");
    Page page;
    // A refused writer login completes at once.
    page.give("#[out;##[~~v;" + fileBase + ";30;ann;wrong]]");
    EXPECT_TRUE(page.turn());
    EXPECT_EQ(page.output(), "-2147483648");
    EXPECT_EQ(page.run("#[out;##[~~^;" + fileBase + ";ann]]"), "-1");  // empty user and pass phrase
    EXPECT_TRUE(isId(page.run("#[out;##[~~^;" + fileBase + ";ann;pw]]")));
    EXPECT_TRUE(isId(page.run("#[out;##[~~v;" + fileBase + ";30;ann;pw]]")));
    // Under the write ban "~~v" opens a reader; a refused reader login is -1,
    // which waits like a taken slot until the timeout.
    banBaseWrite = true;
    Page banned;
    banned.give("#[out;<##[~~v;" + fileBase + ";30;ann;wrong]>]");
    EXPECT_FALSE(banned.turn());
    EXPECT_FALSE(banned.turn());
    banned.processor.waitStart -= 31;
    while (!banned.turn()) {
    }
    EXPECT_EQ(banned.output(), "<>");
}

TEST_F(BaseWords, ListFlagsFollowTheArgumentCount) {
    Page page;
    takeWriter(page, memoryBase);
    const std::string ab = "00000001a00000001b";  // the path a/b
    EXPECT_EQ(page.run("#[out;##[~~+...;" + memoryBase + ";#[w];" + ab + "]]"), "true");
    EXPECT_EQ(page.run("#[out;##[~~>...;" + memoryBase + ";#[w];" + ab + "]|##[~~>...;" + memoryBase + ";#[w];" +
                       ab + ";false]|##[~~>...;" + memoryBase + ";#[w];" + ab + ";false;x]]"),
              "true|false|true");
    EXPECT_EQ(page.run("#[out;##[~~*...;" + memoryBase + ";#[w]]|##[~~*...;" + memoryBase + ";#[w];true]]"),
              "00000003VEK" + ab + "|" + ab);
    EXPECT_EQ(page.run("#[out;##[~~^...;" + memoryBase + ";#[w];" + ab + "]|##[~~?...;" + memoryBase + ";#[w];" +
                       ab + ";false]]"),
              "b|false");
    EXPECT_EQ(page.run("#[out;##[~~>./.;" + memoryBase + ";#[w];" + ab + ";00000001c]|##[~~?...;" + memoryBase +
                       ";#[w];00000001c]]"),
              "true|true");
}

TEST_F(BaseWords, IndexWordsFollowTheArgumentCount) {
    Page page;
    takeWriter(page, memoryBase);
    const std::string base = memoryBase + ";#[w]";
    page.run("#[~~+...;" + base + ";00000001a]#[AddToIndex;" + base + ";quick fox]" +
             "#[~~+...;" + base + ";00000001b]#[AddToIndex;" + base + ";slow fox;en]" +
             "#[~~+...;" + base + ";00000001c]#[AddToIndex;" + base + ";fox;en;extra]");
    EXPECT_EQ(page.run("#[out;##[SearchInIndex;" + base + ";fox]]"), "0000000900000001a");
    EXPECT_EQ(page.run("#[out;##[SearchInIndex;" + base + ";fox;en]]"), "0000000900000001b");
    EXPECT_EQ(page.run("#[out;<##[SearchInIndex;" + base + ";fox;en;0]>]"), "<>");
    EXPECT_EQ(page.run("#[out;<##[SearchInIndex;" + base + "]>]"), "<>");
    page.run("#[~~>...;" + base + ";00000001b]#[RemoveFromIndex;" + base + "]");
    EXPECT_EQ(page.run("#[out;<##[SearchInIndex;" + base + ";fox;en]>]"), "<>");
}

TEST_F(BaseWords, CloseAndDeleteCommitsYieldsAndRemovesBothFiles) {
    Page page;
    takeWriter(page, fileBase);
    page.give("#[~~+.;" + fileBase + ";#[w];k]#[out;<##[~~x;" + fileBase + ";#[w];failed]>]");
    EXPECT_FALSE(page.turn());  // the commit ends the turn
    EXPECT_TRUE(page.turn());
    EXPECT_EQ(page.output(), "<>");
    EXPECT_NE(VekKernel::fileAccess(fileBase + "1", 0), 0);
    EXPECT_NE(VekKernel::fileAccess(fileBase + "2", 0), 0);
}

TEST_F(BaseWords, CloseAndDeleteGivesItsFailureTextAndKeepsTheReadFile) {
    Page page;
    page.run("#[~~+;" + fileBase + "]");
    ASSERT_EQ(std::remove((fileBase + "1").c_str()), 0);
    EXPECT_EQ(page.run("#[out;##[~~x;" + fileBase + ";-1;failed]]"), "failed");
    EXPECT_EQ(VekKernel::fileAccess(fileBase + "2", 0), 0);
}

TEST_F(BaseWords, CloseAndDeleteWhileAnotherPageHoldsTheBaseLeavesThatPageWorking) {
    Page holder;
    holder.run("#[~~+;" + fileBase + "]");
    Page deleter;
    takeWriter(deleter, fileBase);
    deleter.run("#[~~+.;" + fileBase + ";#[w];k]#[~~x;" + fileBase + ";#[w];failed]");
    EXPECT_NE(VekKernel::fileAccess(fileBase + "1", 0), 0);
    EXPECT_NE(VekKernel::fileAccess(fileBase + "2", 0), 0);
    useBaseWithoutItsFiles(holder);
}

TEST_F(BaseWords, DeletingTheFilesOfAnOpenBaseLeavesItWorking) {
    Page holder;
    takeWriter(holder, fileBase);
    holder.run("#[~~+.;" + fileBase + ";#[w];k]#[~~.;" + fileBase + ";#[w]]");
    allowWriteCommands = true;
    Page deleter;
    EXPECT_EQ(deleter.run("#[out;<#[df;" + fileBase + "1;no]#[df;" + fileBase + "2;no]>]"), "<>");
    useBaseWithoutItsFiles(holder);
}
