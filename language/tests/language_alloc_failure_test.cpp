// Tests of the language core when memory runs out: this binary replaces the
// global operator new with one that can be armed to fail the n-th allocation
// from now, and each word that builds a form's text is run with every n
// until it succeeds. A failed word must leave the old form (its text and
// pointer) and every map as they were; under AddressSanitizer a map left
// holding a freed form shows at the next lookup or at the destructor.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <string>

#include "TTMProcessor.h"
#include "TTMTestUtil.h"

namespace {

// Allocations still to go before one fails; 0 when disarmed.
long allocationsBeforeFailure = 0;

void* allocate(std::size_t size) {
    if (allocationsBeforeFailure > 0 && --allocationsBeforeFailure == 0) throw std::bad_alloc();
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }

using namespace VekLanguage;
using namespace VekLanguageTest;

namespace {

// What a lookup of a form shows: whether it exists, its text and pointer.
struct Seen {
    bool exists;
    std::string text;
    std::size_t pointer;
    bool operator==(const Seen& other) const {
        return exists == other.exists && text == other.text && pointer == other.pointer;
    }
};

Seen seen(const TTMProcessor& p, const std::string& name) {
    const Form* form = p.readForm(name);
    return form == nullptr ? Seen{false, "", 0} : Seen{true, form->text, form->pointer};
}

// Calls the builtin word args[0] with the n-th allocation from now failing;
// true when the call ran out of memory.
bool callFailing(TTMProcessor& p, const ArgList& args, long n) {
    TTMHandler handler = nullptr;
    for (const auto& word : TTMProcessor::builtinList())
        if (word.first == args.front()) handler = word.second;
    EXPECT_NE(handler, nullptr) << args.front();
    Active call;
    call.args = args;
    allocationsBeforeFailure = n;
    bool failed = false;
    try {
        handler(p, &call);
    } catch (const std::bad_alloc&) {
        failed = true;
    }
    allocationsBeforeFailure = 0;
    return failed;
}

}  // namespace

// Every word that defines, replaces, appends to or rewrites a form, and the
// copy a client run makes of a global form before it changes it: each
// allocation failure leaves the form as it was, and the processor stays
// usable and is destroyed cleanly.
TEST(LanguageAllocFailure, FailedWordsLeaveTheOldForm) {
    const std::string longText(40, 'n');
    struct Case {
        const char* what;
        bool fromClient;
        std::string setup;
        ArgList args;
        std::string expected;
    } cases[] = {
        {"\".=\" replaces", false, "#[.=;f;old text that is long enough for the heap]", {".=", "f", longText}, longText},
        {"\"=\" sets", false, "#[.=;f;old text that is long enough for the heap]", {"=", "f", longText}, longText},
        {"\"append\"", false, "#[.=;f;old]#[*v;f;2]", {"append", "f", longText}, "old" + longText},
        {"\"=\" creates a global", false, "", {"=", "afPageGlobal", longText}, longText},
        {"\"=\" creates a client global", true, "", {"=", "afClientGlobal", longText}, longText},
        {"\"is\"", false, "#[.=;f;abababababababababab]#[*v;f;3]", {"is", "f", "a", "xyz"},
         "xyzbxyzbxyzbxyzbxyzbxyzbxyzbxyzbxyzbxyzb"},
        {"\"trf\"", false, "#[.=;f;abababababababababab]", {"trf", "f", "b", longText},
         "a" + longText + "ababababababababab"},
        {"\"=.\"", false, "#[.=;f;a long form with a mark here and here]", {"=.", "f", "here"},
         "a long form with a mark \xFF\x01 and \xFF\x01"},
        {"\"*v\" on a client's copy", true, "", {"*v", "afShared", "4"}, "shared text of the start-up script"},
        {"\"is\" on a client's copy", true, "", {"is", "afShared", "text", longText},
         "shared " + longText + " of the start-up script"},
    };
    TTMProcessor::builtinList();
    runOn(*std::make_unique<TTMProcessor>(), "#[=;afShared;shared text of the start-up script]");
    const Seen shared = seen(TTMProcessor(), "afShared");
    for (const Case& c : cases) {
        const std::string& name = c.args[1];
        bool failed = true;
        for (long n = 1; failed; ++n) {
            TTMProcessor p;
            p.clientText = c.fromClient;
            runOn(p, c.setup);
            const Seen before = seen(p, name);
            failed = callFailing(p, c.args, n);
            if (failed) {
                EXPECT_TRUE(seen(p, name) == before) << c.what << ", allocation " << n;
                p.runTextBytes();  // walks every level and own form
                continue;
            }
            EXPECT_EQ(seen(p, name).text, c.expected) << c.what;
        }
        EXPECT_TRUE(seen(TTMProcessor(), "afShared") == shared) << c.what;
    }
    EXPECT_EQ(LanguageProcessor::globalForms.count("afClientGlobal"), 0u);
}
