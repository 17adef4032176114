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
#include "WordsTestUtil.h"
#include "base/VEKBaseRegistry.h"

using namespace VekLanguage;
using VekLanguageTest::exists;
using VekLanguageTest::readBytes;
using VekLanguageTest::writeBytes;

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

// A base is made only over its own files: a write file, read file or
// journal name that holds anything else (the operator's document) stays
// untouched and the base does not open; deleting a base deletes bases only,
// and a memory base never a file on disk.
TEST_F(BaseWords, BasesNeverTakeOverOrDeleteOtherFiles) {
    struct Case {
        std::string file;  // the operator's file, in the test's directory
        std::string base;  // the base a page opens, writes and deletes there
    };
    const Case cases[] = {
        {"site.woff2", "site.woff"},  // the read file
        {"manual1", "manual"},        // the write file
        {"j1.sw", "j"},               // the write file's journal
        {"c1.swt", "c"},              // its committed journal
        {"r2.sw", "r"},               // the read file's own journal
    };
    const std::string document = "operator's document\n";
    for (const Case& c : cases) {
        writeBytes(dir + "/" + c.file, document);
        const std::string base = dir + "/" + c.base;
        Page page;
        EXPECT_EQ(page.run("#[~~+;" + base + "]#[.=;w;##[~~v;" + base + ";0]]#[out;<##[w]>##[~~x;" + base +
                           ";##[w];failed]]"),
                  "<>")
            << c.file;
        EXPECT_EQ(readBytes(dir + "/" + c.file), document) << c.file;
        for (const char* suffix : {"1", "2"})
            if (c.base + suffix != c.file) {
                EXPECT_FALSE(exists(base + suffix)) << c.file << " made " << suffix;
            }
        EXPECT_EQ(VekBase::VEKBaseRegistry::instance()->failure(),  // [new api]
                  "Can't open the VEKBase file: " + dir + "/" + c.file);  // [new api]
    }
    // A memory base's "~~x" leaves a file of the same name on disk alone.
    const std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    writeBytes(memoryBase + "1", document);
    Page page;
    takeWriter(page, memoryBase);
    EXPECT_EQ(page.run("#[out;<##[~~x;" + memoryBase + ";#[w];failed]>]"), "<>");
    std::filesystem::current_path(cwd);
    EXPECT_EQ(readBytes(dir + "/" + memoryBase + "1"), document);
}

// Client text uses only the sessions it opened: it reads, writes, commits,
// rolls back or deletes through no page's id, and an empty or non-numeric
// id names no session. Its "~~vx" leaves a page's writer alone, also once
// that page's run has ended.
TEST_F(BaseWords, ClientTextUsesOnlyTheSessionsItOpened) {
    auto owner = std::make_unique<Page>();
    takeWriter(*owner, fileBase);
    owner->run("#[~~+.;" + fileBase + ";#[w];committed]#[~~.;" + fileBase + ";#[w]]");
    takeWriter(*owner, fileBase);
    owner->run("#[.=;r;##[~~^;" + fileBase + "]]#[~~+.;" + fileBase + ";#[w];mine]");
    const std::string w = owner->run("#[out;#[w]]");
    const std::string r = owner->run("#[out;#[r]]");
    const std::string b = fileBase;
    struct Case {
        std::string text;      // what another run sends
        std::string expected;  // its output
    };
    const Case cases[] = {
        {"#[out;##[~~+.;" + b + ";;empty]|##[~~>.;" + b + ";;mine]]#[~~.;" + b + ";]", "false|false"},
        {"#[out;##[~~+.;" + b + ";" + w + "x;suffixed]]#[~~.;" + b + ";" + w + "x]", "false"},
        {"#[out;##[~~+.;" + b + ";" + w + ";injected]|<##[~~^.;" + b + ";" + w + "]>|##[~~>.;" + b + ";" + r +
             ";committed]|##[~~(.);" + b + ";" + w + "]]#[~~.;" + b + ";" + w + "]",
         "false|<>|false|0"},
        {"#[~~vx;" + b + "]#[out;##[~~x;" + b + ";" + w + ";failed]|##[~~x;" + b + ";" + r + ";failed]]", "failed|failed"},
        {"#[~~-;" + b + "]#[~~-;" + b + "]#[~~-;" + b + "]#[~~-;" + b + "]", ""},
    };
    for (const Case& c : cases) {
        Page other;
        other.processor.clientText = true;
        EXPECT_EQ(other.run(c.text), c.expected) << c.text;
        EXPECT_EQ(owner->run("#[out;##[~~>.;" + b + ";#[w];mine]|##[~~>.;" + b + ";#[r];committed]]"), "true|true")
            << c.text;
        EXPECT_EQ(readerFinds(b, "mine"), "false") << c.text;
    }
    EXPECT_TRUE(exists(b + "1") && exists(b + "2"));
    EXPECT_EQ(readerFinds(b, "injected") + readerFinds(b, "empty") + readerFinds(b, "suffixed"), "falsefalsefalse");
    // The owner's run ends with its writer open: client text still cannot
    // roll it back, a later page can.
    owner.reset();
    Page client;
    client.processor.clientText = true;
    client.run("#[~~+;" + b + "]#[~~vx;" + b + "]");
    Page next;
    next.give("#[~~+;" + b + "]#[out;<##[~~v;" + b + ";30]>]");
    EXPECT_FALSE(next.turn());  // the page's writer still holds the slot
    next.processor.waitStart -= 31;
    while (!next.turn()) {
    }
    next.give("#[~~vx;" + b + "]#[.=;w;##[~~v;" + b + ";30]]#[out;|##[~~>.;" + b + ";#[w];mine]]");
    EXPECT_TRUE(next.turn());  // the slot is free at once
    EXPECT_EQ(next.output(), "|false");
}

// Pages and the start-up script are the operator's program: a session that
// one of them opens may be used by any later page (handed on through a
// global form), and a reader stays open until it is closed. An empty or
// non-numeric id names no session for pages either.
TEST_F(BaseWords, PagesAndTheStartUpScriptShareTheirSessions) {
    const std::string b = fileBase;
    const std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    const std::string reader = "reader_" + name, writer = "writer_" + name;  // global forms outlive the test
    {
        Page setup;
        takeWriter(setup, b);
        setup.run("#[~~+.;" + b + ";#[w];one]#[~~+.;" + b + ";#[w];two]#[~~.;" + b + ";#[w]]");
    }
    {
        TTMProcessor startUp;  // run to its end at once, as the server runs its start-up script
        startUp.init("#[~~+;" + b + "]#[=;" + reader + ";##[~~^;" + b + "]]");
        startUp.process();
    }
    {
        Page opener;
        opener.run("#[~~+;" + b + "]#[=;" + writer + ";##[~~v;" + b + ";30]]#[~~+.;" + b + ";##[" + writer +
                   "];three]");
    }
    Page later;
    EXPECT_EQ(later.run("#[out;##[~~^N;" + b + ";##[" + reader + "]]|##[~~>.;" + b + ";##[" + reader +
                        "];one]|##[~~+.;" + b + ";;empty]|##[~~+.;" + b + ";##[" + writer + "]x;suffixed]]"),
              "2|true|false|false");
    later.run("#[~~+.;" + b + ";##[" + writer + "];four]#[~~.;" + b + ";##[" + writer + "]]");
    EXPECT_EQ(readerFinds(b, "three") + readerFinds(b, "four") + readerFinds(b, "empty"), "truetruefalse");
    // The reader reads the committed copy as it stood when it was opened;
    // closing it ends it.
    EXPECT_EQ(later.run("#[~~.;" + b + ";##[" + reader + "]]#[out;<##[~~^N;" + b + ";##[" + reader + "]]>]"),
              "<0>");
}

// Client text gives back the bases and file handles it opened when its run
// ends (a page's bases stay open until "~~-"), and holds at most 64 bases,
// 64 handles and 64 sessions at a time; the next open fails as an open
// (or a refused login) fails.
TEST_F(BaseWords, ClientTextHoldsABoundedNumberOfBasesAndFilesUntilItsRunEnds) {
    auto openDescriptors = [] {
        return std::distance(std::filesystem::directory_iterator("/proc/self/fd"),
                             std::filesystem::directory_iterator());
    };
    const auto before = openDescriptors();
    std::string opens, handles;
    for (int n = 0; n < 600; ++n) opens += "#[~~+;" + dir + "/b" + std::to_string(n) + "]";
    writeBytes(dir + "/text", "a'b'");
    for (int n = 0; n < 65; ++n) handles += "##[oi;h" + std::to_string(n) + ";" + dir + "/text;F]";
    {
        Page client;
        client.processor.clientText = true;
        EXPECT_EQ(client.run(opens + "#[out;" + handles + "|##[frs;h0]|<##[~~^;" + dir + "/b64]>]"), "F|a|<>");
        EXPECT_TRUE(isId(client.run("#[out;##[~~^;" + dir + "/b63]]")));
        EXPECT_LE(openDescriptors(), before + VekBase::VEKBaseRegistry::DescriptorsPerBase * 64 + 64 + 8);
    }
    EXPECT_EQ(openDescriptors(), before);
    {
        // At most 64 sessions too; a name longer than a path opens nothing.
        Page client;
        client.processor.clientText = true;
        std::string readers;
        for (int n = 0; n < 64; ++n) readers += "#[~~^;" + memoryBase + "]";
        const std::string longName = "temp_" + std::string(5000, 'n');
        EXPECT_EQ(client.run("#[~~+;" + memoryBase + "]" + readers + "#[out;##[~~^;" + memoryBase + "]|#[~~+;" +
                             longName + "]##[~~^;" + longName + "]]"),
                  "-1|");
    }
    {
        Page page;
        page.run("#[~~+;" + dir + "/kept]");
    }
    Page later;
    EXPECT_EQ(later.run("#[out;<##[~~^;" + dir + "/b0]>]"), "<>");
    EXPECT_TRUE(isId(later.run("#[out;##[~~^;" + dir + "/kept]]")));
}

// Client text's bound counts a base once for all the names of it that fold
// to one spelling ("dir/./base", "dir/.//base"): past 64 such names the run
// still opens other bases.
TEST_F(BaseWords, ClientTextCountsTheFoldedSpellingsOfABaseOnce) {
    std::string opens, prefix = dir + "/";
    for (int n = 0; n < 70; ++n, prefix += (n % 2 ? "./" : "/")) opens += "#[~~+;" + prefix + "base]";
    Page client;
    client.processor.clientText = true;
    EXPECT_TRUE(isId(client.run(opens + "#[~~+;" + dir + "/other]#[out;##[~~^;" + dir + "/other]]")))
        << client.output();
}

// Whatever spellings of a base client text opens ("./", "//", a symbolic
// link to the directory), the registry remembers no more names once its
// run has ended than before it, while a page keeps the base open.
TEST_F(BaseWords, ClientTextLeavesNoNamesOfABaseBehind) {
    std::filesystem::create_directory_symlink(".", dir + "/link");
    Page keeper;
    keeper.run("#[~~+;" + fileBase + "]");
    auto* registry = VekBase::VEKBaseRegistry::instance();
    const std::size_t remembered = registry->namesRemembered();
    for (int run = 0; run < 3; ++run) {
        std::string opens, prefix = dir + "/";
        for (int depth = 0; depth < 20; ++depth, prefix += (depth % 2 ? "./" : "link//"))
            opens += "#[~~+;" + prefix + "base]";
        {
            Page client;
            client.processor.clientText = true;
            client.run(opens + "#[~~-;" + dir + "/./base]");
            EXPECT_EQ(registry->get(prefix + "base"), registry->get(fileBase));
        }
        EXPECT_EQ(registry->namesRemembered(), remembered) << "after run " << run;
    }
    EXPECT_TRUE(isId(keeper.run("#[out;##[~~^;" + fileBase + "]]")));
    keeper.run("#[~~-;" + fileBase + "]");
}

// Every run, page or client text, opens bases and file handles only within
// the process-wide descriptor budget (DescriptorsPerBase per file base, 1
// per handle, none per memory base); each way of giving one back counts it
// back.
TEST_F(BaseWords, BasesAndHandlesStayWithinTheProcessDescriptorBudget) {
    using VekBase::VEKBaseRegistry;
    const int64 start = VEKBaseRegistry::descriptorsHeld();
    const int64 base = VEKBaseRegistry::DescriptorsPerBase;
    VEKBaseRegistry::setDescriptorBudget(start + 2 * base + 1);
    writeBytes(dir + "/text", "a'");
    auto withDir = [this](std::string text) {
        for (std::size_t at = text.find('@'); at != std::string::npos; at = text.find('@', at + dir.size()))
            text.replace(at, 1, dir);
        return text;
    };
    auto step = [&](Page& page, const std::string& text, const std::string& output, int64 held) {
        EXPECT_EQ(page.run(withDir(text)), output) << text;
        EXPECT_EQ(VEKBaseRegistry::descriptorsHeld() - start, held) << text;
    };
    {
        Page page;
        step(page, "#[~~+;@/A]#[~~+;@/B]#[~~+;@/C]#[out;<##[~~^;@/C]>]", "<>", 2 * base);
        step(page, "#[~~+;" + memoryBase + "]#[out;##[oi;h0;@/text;F]##[oi;h1;@/text;F]]", "F", 2 * base + 1);
        step(page, "#[out;##[oi;h0;@/text;F]##[frs;h0]]", "a", 2 * base + 1);  // replaced under its name
        step(page, "#[cf;h0]#[out;##[oi;h2;@/text;F]]", "", 2 * base + 1);
        step(page, "#[~~-;@/A]#[~~+;@/C]#[out;##[oi;h3;@/text;F]]", "F", 2 * base + 1);
        step(page, "#[.=;w;##[~~v;@/B;1]]#[~~+.;@/B;##[w];k]#[out;<##[~~x;@/B;##[w];F]>]", "<>", base + 1);
        {
            Page client;
            client.processor.clientText = true;
            step(client, "#[~~+;@/D]#[out;##[oi;h;@/text;F]]", "F", 2 * base + 1);
        }
        EXPECT_EQ(VEKBaseRegistry::descriptorsHeld() - start, base + 1);  // the client's run has ended
    }
    Page closer;
    step(closer, "#[~~-;@/C]", "", 0);  // the page's handle closed with it; its base stayed open until "~~-"
    VEKBaseRegistry::setDescriptorBudget(0);
}
