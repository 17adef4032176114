// The printing operations that the Forth, Lisp and PLZ processors share,
// and the Forth printing callback.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "ForthProcessor.h"
#include "LispProcessor.h"
#include "PLZProcessor.h"

namespace VekLanguage {
namespace {

template <typename Base>
struct Concrete : Base {
    using Base::Base;
    void process() override {}
    bool run(int64) override { return true; }
    void init(const std::string&) override {}
    void setInput(const std::string&) override {}
};

// What each operation writes to standard output and returns.
void expectPrinting(PrintingProcessor& p) {
    char text[] = "row";
    const struct {
        std::function<int()> call;
        const char* written;
    } cases[] = {
        {[&] { return p.printText(""); }, ""},
        {[&] { return p.printText("text"); }, "text"},
        {[&] { return p.printNumber(-1); }, "-1"},
        {[&] { return p.printTextStream("abc") ? 0 : 1; }, "abc"},
        {[&] { return p.reserved12(); }, ""},
        {[&] { return p.isTrace() ? 1 : 0; }, ""},
        {[&] { return forthPrintCallback(&p, 2, std::vector<char*>{text, nullptr}.data()); }, "2row"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(c.call(), 0);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.written);
    }
}

TEST(PrintingProcessors, EachPrintsToStandardOutput) {
    testing::internal::CaptureStdout();
    Concrete<LispProcessor> lisp("lisp:");
    Concrete<PLZProcessor> plz("plz:");
    Concrete<ForthProcessor> forth("forth:");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "lisp:plz:forth:");
    expectPrinting(lisp);
    expectPrinting(plz);
    expectPrinting(forth);
}

}  // namespace
}  // namespace VekLanguage
