// Base words on a base whose files were deleted or replaced while pages
// held it: each word gives its failure result instead of failing the run
// (but a commit, which cannot store what it was given, fails it), no
// journal is left beside the names, the operator's file at a name is left
// alone, and the next open of a free name makes a fresh base.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "TTMProcessor.h"
#include "TTMTestUtil.h"
#include "WordsTestUtil.h"
#include "base/VEKBaseRegistry.h"
#include "base/VEKProcessPool.h"

using namespace VekLanguage;
using VekLanguageTest::outputOf;
using VekLanguageTest::readBytes;
using VekLanguageTest::TempDir;
using VekLanguageTest::writeBytes;

namespace {

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

// One page: forms (and so its ids) stay between the texts it is given.
class PageRun {
public:
    explicit PageRun(bool client = false) {
        processor.init(std::string());
        processor.clientText = client;
    }
    std::string operator()(const std::string& text) {
        processor.setInput(text);
        for (int turns = 0; turns < 1000 && !processor.run(30);) ++turns;
        return outputOf(processor);
    }
    TTMProcessor processor;
};

class DeletedBase : public ::testing::Test {
protected:
    std::string at(const std::string& text) const {
        std::string result = text;
        for (std::size_t i = result.find('@'); i != std::string::npos; i = result.find('@', i + base.size()))
            result.replace(i, 1, base);
        return result;
    }
    void noJournals() const {
        EXPECT_FALSE(exists(base + "1.sw"));
        EXPECT_FALSE(exists(base + "1.swt"));
    }
    TempDir dir;
    std::string base = dir.path("notes");
};

// A page's writer whose write file goes under it (deleted by hand, or
// replaced by the operator's file): its words fail, "~~x" gives its
// failure text, and the run goes on.
TEST_F(DeletedBase, AWriterWhoseFileWentGetsFailureResults) {
    for (bool replaced : {false, true}) {
        SCOPED_TRACE(replaced ? "replaced" : "deleted");
        PageRun holder, writer;
        holder(at("#[~~+;@]"));
        writer(at("#[~~+;@]#[.=;w;##[~~v;@;1]]#[~~+.;@;#[w];k]"));
        ASSERT_EQ(::unlink((base + "1").c_str()), 0);
        if (replaced) writeBytes(base + "1", "the operator's text");
        std::string answer;
        EXPECT_NO_THROW(answer = writer(at("#[out;##[~~+.;@;#[w];more]|##[~~x;@;#[w];failed]]")));
        EXPECT_EQ(answer, "false|failed");
        noJournals();
        if (replaced) {
            EXPECT_EQ(readBytes(base + "1"), "the operator's text");
        }
        holder(at("#[~~-;@]"));
        writer(at("#[~~-;@]"));
        ::unlink((base + "1").c_str());
        ::unlink((base + "2").c_str());
    }
}

// A raw request deletes the notes while a page reads them: the page's
// reader finds nothing more, and the next page that opens the base stores
// its note in a fresh one.
TEST_F(DeletedBase, ABaseDeletedByARawRequestIsFreshForTheNextOpen) {
    PageRun setup, holder, client(true), poster;
    setup(at("#[~~+;@]#[.=;w;##[~~v;@;1]]#[~~+.;@;#[w];old]#[~~.;@;#[w]]"));
    EXPECT_EQ(holder(at("#[~~+;@]#[.=;r;##[~~^;@]]#[out;##[~~>.;@;#[r];old]]")), "true");
    EXPECT_EQ(client(at("#[~~+;@]#[.=;w;##[~~v;@;1]]#[out;<##[~~x;@;#[w];failed]>]")), "<>");
    EXPECT_EQ(holder(at("#[out;##[~~>.;@;#[r];old]]")), "false");
    std::string answer;
    EXPECT_NO_THROW(answer = poster(at("#[~~+;@]#[.=;w;##[~~v;@;1]]#[out;##[~~+.;@;#[w];new]]#[~~.;@;#[w]]")));
    EXPECT_EQ(answer, "true");
    noJournals();
    PageRun reader;
    EXPECT_EQ(reader(at("#[.=;r;##[~~^;@]]#[out;##[~~>.;@;#[r];new]|##[~~>.;@;#[r];old]]")), "true|false");
    for (PageRun* page : {&setup, &holder, &poster}) (*page)(at("#[~~-;@]"));
}

// A raw request's writer whose files went under it gives its id back when
// the run ends, as any writer of the run does: nothing of it stays held
// for as long as a page keeps the base.
TEST_F(DeletedBase, AClientRunGivesBackItsLostWriterWhenItEnds) {
    PageRun holder;
    holder(at("#[~~+;@]"));
    int64 writer = -1;
    {
        PageRun client(true);
        const std::string id = client(at("#[~~+;@]#[.=;w;##[~~v;@;1]]#[~~+.;@;#[w];k]#[out;#[w]]"));
        writer = std::stoll(id);
        ASSERT_EQ(::unlink((base + "1").c_str()), 0);
    }
    EXPECT_FALSE(VekBase::VEKProcessPool::writePool()->isLive(writer));
    holder(at("#[~~-;@]"));
}

// A writer with pending keys whose files go under it, in each way they
// can: its "~~." stores nothing, so it fails the run (as a commit that
// cannot be written does) rather than answer as a commit that worked; for
// a page and for client text alike.
TEST(OrphanedWriter, ACommitThatCannotReachItsFilesFailsTheRun) {
    struct Case {
        const char* how;
        std::function<void(const TempDir&, PageRun&)> takeAway;
    };
    auto moveOver = [](const TempDir& dir, const char* from, const char* to) {
        ASSERT_EQ(::rename(dir.path(from).c_str(), dir.path(to).c_str()), 0);
    };
    const std::vector<Case> cases = {
        {"files deleted",
         [](const TempDir& dir, PageRun&) {
             ::unlink(dir.path("cur/notes1").c_str());
             ::unlink(dir.path("cur/notes2").c_str());
         }},
        {"files replaced",
         [&](const TempDir& dir, PageRun& other) {
             other("#[~~+;" + dir.path("other") + "]");
             moveOver(dir, "other1", "site/notes1");
             moveOver(dir, "other2", "site/notes2");
         }},
        {"directory renamed", [&](const TempDir& dir, PageRun&) { moveOver(dir, "site", "archive"); }},
        {"link turned",
         [](const TempDir& dir, PageRun&) {
             ASSERT_EQ(::mkdir(dir.path("new").c_str(), 0755), 0);
             ASSERT_EQ(::unlink(dir.path("cur").c_str()), 0);
             ASSERT_EQ(::symlink("new", dir.path("cur").c_str()), 0);
         }},
        {"link turned and the name opened again",
         [](const TempDir& dir, PageRun& other) {
             ASSERT_EQ(::mkdir(dir.path("new").c_str(), 0755), 0);
             ASSERT_EQ(::unlink(dir.path("cur").c_str()), 0);
             ASSERT_EQ(::symlink("new", dir.path("cur").c_str()), 0);
             other("#[~~+;" + dir.path("cur/notes") + "]");
         }},
        {"deleted by another page",
         [](const TempDir& dir, PageRun& other) {
             const std::string name = dir.path("cur/notes");
             other("#[~~+;" + name + "]#[.=;r;##[~~^;" + name + "]]#[~~x;" + name + ";#[r]]");
         }},
    };
    for (bool client : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.how) + (client ? ", client text" : ", page"));
            TempDir dir;
            ASSERT_EQ(::mkdir(dir.path("site").c_str(), 0755), 0);
            ASSERT_EQ(::symlink("site", dir.path("cur").c_str()), 0);
            const std::string name = dir.path("cur/notes");
            PageRun writer(client), other;
            std::string page = "#[~~+;" + name + "]#[.=;w;##[~~v;" + name + ";1]]";
            for (int key = 0; key < 300; ++key) page += "#[~~+.;" + name + ";#[w];k" + std::to_string(key) + "]";
            writer(page);
            c.takeAway(dir, other);
            try {
                writer("#[~~.;" + name + ";#[w]]#[out;committed]");
                ADD_FAILURE() << "the commit answered as one that worked";
            } catch (const std::exception& failure) {
                EXPECT_NE(std::string(failure.what()).find("deleted or replaced"), std::string::npos) << failure.what();
            }
            EXPECT_EQ(outputOf(writer.processor), "");
            PageRun cleanup;
            cleanup("#[~~-;" + name + "]#[~~-;" + name + "]#[~~-;" + dir.path("other") + "]");
        }
    }
}

}  // namespace

namespace {

// Ways the directory of "cur/shop" changes under an open base: the base
// opened before keeps its files where they were, and the name then reaches
// a new directory. The start-up script holds the base through "cur/shop"
// ("@" is the test's directory); a base first opened through its own
// directory keeps reaching its files after the move.
struct Move {
    const char* how;
    std::function<void(const TempDir&)> make;
    std::function<void(const TempDir&)> change;
    const char* startUp;
    bool reachesItsFiles;
};

void turnLink(const TempDir& dir) {
    ::unlink(dir.path("cur").c_str());
    ::symlink("d2", dir.path("cur").c_str());
}

void makeLinkedDirectories(const TempDir& dir) {
    ::mkdir(dir.path("d1").c_str(), 0755);
    ::mkdir(dir.path("d2").c_str(), 0755);
    ::symlink("d1", dir.path("cur").c_str());
}

const Move kMoves[] = {
    {"link turned", makeLinkedDirectories, turnLink, "#[~~+;@/cur/shop]", false},
    {"directory renamed and made again", [](const TempDir& dir) { ::mkdir(dir.path("cur").c_str(), 0755); },
     [](const TempDir& dir) {
         ::rename(dir.path("cur").c_str(), dir.path("d1").c_str());
         ::mkdir(dir.path("cur").c_str(), 0755);
     },
     "#[~~+;@/cur/shop]", false},
    {"link turned, base named by its own directory", makeLinkedDirectories, turnLink,
     "#[~~+;@/d1/shop]#[~~+;@/cur/shop]#[~~-;@/d1/shop]", true},
};

// A page that writes keys through its own writer (the form w): its text
// opens the base and takes the writer, then puts the keys prefix0, prefix1...
std::string writerPage(const std::string& name, const std::string& prefix, int keys) {
    std::string page = "#[~~+;" + name + "]#[.=;w;##[~~v;" + name + ";1]]";
    for (int key = 0; key < keys; ++key) page += "#[~~+.;" + name + ";#[w];" + prefix + std::to_string(key) + "]";
    return page;
}

// The keys of prefix that a fresh reader of name finds, as "prefix0 prefix1 ".
std::string committed(const std::string& name, const std::string& prefix, int keys) {
    PageRun reader;
    std::string page = "#[~~+;" + name + "]#[.=;r;##[~~^;" + name + "]]#[out;";
    for (int key = 0; key < keys; ++key) {
        const std::string k = prefix + std::to_string(key);
        page += "##[==;##[~~>.;" + name + ";#[r];" + k + "];true;" + k + " ]";
    }
    return reader(page + "]#[~~.;" + name + ";#[r]]#[~~-;" + name + "]");
}

// The commit of a writer whose own session is gone fails the run: it never
// answers as a commit that worked.
void expectFailedCommit(PageRun& writer, const std::string& name) {
    try {
        writer("#[~~.;" + name + ";#[w]]#[out;committed]");
        ADD_FAILURE() << "the commit answered as one that worked: " << outputOf(writer.processor);
    } catch (const TTMError& failure) {
        EXPECT_NE(std::string(failure.what()).find("nothing was stored"), std::string::npos) << failure.what();
    }
}

}  // namespace

// The start-up script holds "cur/shop"; page A's writer puts 5 keys; the
// directory moves; three reader pages open and close the name; page C's
// writer on the new base puts 3 keys; then A commits. Each reader page's
// "~~-" gives back the use its own "~~+" took, so the old base stays with
// the uses of the start-up script and A, and A keeps its writer and id:
// its commit stores A's keys into the old base, or fails, storing nothing,
// when that base's names no longer reach its files. C's writer and its
// pending keys are untouched either way and commit later.
TEST(MovedBase, PagesThatOpenAndCloseANameAfterAMoveLeaveOtherPagesBasesAlone) {
    for (const Move& move : kMoves) {
        SCOPED_TRACE(move.how);
        TempDir dir;
        move.make(dir);
        const std::string name = dir.path("cur/shop");
        TTMProcessor startUp;
        startUp.init(VekLanguageTest::inFolder(move.startUp, dir.root));
        startUp.process();
        PageRun a, c;
        a(writerPage(name, "a", 5));
        move.change(dir);
        for (int page = 0; page < 3; ++page) {
            PageRun reader;
            EXPECT_EQ(reader("#[~~+;" + name + "]#[.=;r;##[~~^;" + name + "]]#[out;##[~~^N;" + name +
                             ";#[r]]]#[~~.;" + name + ";#[r]]#[~~-;" + name + "]"),
                      "0");
        }
        c(writerPage(name, "c", 3));
        if (move.reachesItsFiles) {
            EXPECT_EQ(a("#[~~.;" + name + ";#[w]]#[out;committed]"), "committed");
        } else {
            expectFailedCommit(a, name);
        }
        EXPECT_EQ(committed(name, "c", 4), "") << "A's commit stored C's keys";
        EXPECT_EQ(c("#[out;##[~~+.;" + name + ";#[w];c3]]#[~~.;" + name + ";#[w]]"), "true");
        EXPECT_EQ(committed(name, "c", 4) + committed(name, "a", 5), "c0 c1 c2 c3 ");
        EXPECT_EQ(committed(dir.path("d1/shop"), "a", 5), move.reachesItsFiles ? "a0 a1 a2 a3 a4 " : "");
        PageRun cleanup;
        cleanup("#[~~-;" + name + "]#[~~-;" + name + "]#[~~-;" + name + "]#[~~-;" + name + "]");
    }
}

// A page's writer whose session ends under it: its "~~." fails the run,
// whatever was opened since: also when another writer took its id (whose
// pending keys the commit must not store), and when none did. Its "~~x"
// gives its failure text and neither commits nor deletes anything.
TEST(LostWriter, ACommitThroughAWriterThatIsGoneFailsTheRun) {
    struct Case {
        const char* how;
        std::function<void(PageRun& writer, const std::string& name)> end;
    };
    const Case cases[] = {
        {"base closed by another page's ~~-", [](PageRun&, const std::string& name) {
             PageRun other;
             other("#[~~-;" + name + "]");
         }},
        {"base closed by its own run's ~~-", [](PageRun& writer, const std::string& name) {
             writer("#[~~-;" + name + "]");
         }},
        {"writer rolled back by another page's ~~vx", [](PageRun&, const std::string& name) {
             PageRun other;
             other("#[~~vx;" + name + "]");
         }},
    };
    TempDir dir;
    int n = 0;
    for (const std::string& base : {std::string("temp_lostWriter"), dir.path("shop")}) {
        for (const Case& c : cases) {
            for (const bool retaken : {false, true}) for (const bool deletes : {false, true}) {
                const std::string name = base + std::to_string(n++);
                SCOPED_TRACE(name + ": " + c.how + (retaken ? ", id taken by another writer" : "") +
                             (deletes ? ", ~~x" : ""));
                // Ids freed by earlier tests would be handed out first: with
                // none, the id A gives back is the next writer's.
                VekBase::VEKProcessPool::writePool()->freedIds.clear();
                PageRun a, other;
                a(writerPage(name, "a", 5));
                const std::string id = a("#[out;#[w]]");
                c.end(a, name);
                if (retaken) {
                    ASSERT_EQ(other(writerPage(name, "c", 3) + "#[out;#[w]]"), id);
                }
                if (deletes) {
                    EXPECT_EQ(a("#[out;<##[~~x;" + name + ";#[w];failed]>]"), "<failed>");
                } else {
                    expectFailedCommit(a, name);
                }
                EXPECT_EQ(committed(name, "a", 5) + committed(name, "c", 3), "");
                if (retaken) {
                    EXPECT_EQ(other("#[~~.;" + name + ";#[w]]#[out;done]"), "done");
                    EXPECT_EQ(committed(name, "c", 3), "c0 c1 c2 ");
                }
                PageRun cleanup;
                cleanup("#[~~-;" + name + "]#[~~-;" + name + "]");
            }
        }
    }
}
