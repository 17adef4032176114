// Base words on a base whose files were deleted or replaced while pages
// held it: each word gives its failure result instead of failing the run,
// no journal is left beside the names, the operator's file at a name is
// left alone, and the next open of a free name makes a fresh base.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "TTMProcessor.h"
#include "TTMTestUtil.h"
#include "WordsTestUtil.h"
#include "base/VEKBaseRegistry.h"

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

}  // namespace
