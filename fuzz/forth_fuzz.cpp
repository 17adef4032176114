// Fuzz target: the Forth interpreter over console text. Each input line is
// interpreted as the console does it (an aborting line empties the stacks
// and the next line goes on). The harness bounds what a console program
// may do to the fuzzing process: branches are counted against a budget
// (the inner interpreter is told not to run them in place), "bye", "quit"
// and "system" abort instead, ".r" pads to a bounded width, the base and
// connection words are left out (their parsers have targets of their own),
// and file names must stay in the scratch directory.
#include <cstdio>
#include <map>

#include "FuzzSupport.h"
#include "language/forth/ForthProcessor.h"

using namespace VekLanguage;

namespace {

constexpr int BranchBudget = 20000;

class FuzzForth : public ForthProcessor {
public:
    void process() override {}
    bool run(int64) override { return true; }
    void init(const std::string&) override {}
    void setInput(const std::string&) override {}

    // A fresh dictionary with the guards in place.
    void prepare()
    {
        stackBase = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
        reset();
        branchXt = zbranchXt = nullptr;
        replace("(branch)", &FuzzForth::countedBranch);
        replace("(zbranch)", &FuzzForth::countedZbranch);
        for (const char* word : {"bye", "quit", "system", "AddToIndex", "SearchInIndex", "RemoveFromIndex"})
            replace(word, &FuzzForth::refused);
        for (Definition* d = definitions; d < definitions + count; ++d)
            if (d->name.size() > 1 && d->name[0] == '~') d->handler = static_cast<ForthHandler>(&FuzzForth::refused);
        for (const char* word : {"open-file", "create-file", "delete-file", "rename-file"})
            replace(word, &FuzzForth::localNamesOnly);
        replace(".r", &FuzzForth::boundedWidth);
    }

    // Interprets one console line; false when the session would end.
    bool line(const std::string& text)
    {
        source = text;
        toIn = 0;
        try {
            interpret();
        } catch (const AbortException&) {
            state = 0;
            sp = rp = 0;
        } catch (const std::exception&) {
            return false;
        }
        return true;
    }

private:
    void replace(const char* name, void (FuzzForth::*handler)())
    {
        Definition* d = find(name, std::strlen(name));
        if (!d) return;
        original[d] = d->handler;
        d->handler = static_cast<ForthHandler>(handler);
    }
    void runOriginal() { (this->*original.at(currentDefinition))(); }

    void countedBranch()
    {
        if (++branches > BranchBudget) throw AbortException("fuzz: branch budget spent");
        wordBranch();
    }
    void countedZbranch()
    {
        if (++branches > BranchBudget) throw AbortException("fuzz: branch budget spent");
        wordZbranch();
    }
    void refused() { throw AbortException(currentDefinition->name + ": not run by the fuzzer"); }

    // The name pairs under the top: open-file and create-file (c-addr u fam),
    // delete-file (c-addr u), rename-file (c-addr1 u1 c-addr2 u2).
    void localNamesOnly()
    {
        const std::string& name = currentDefinition->name;
        int fam = name == "open-file" || name == "create-file" ? 1 : 0;
        int names = name == "rename-file" ? 2 : 1;
        needCells(fam + 2 * names, name.c_str());
        for (int i = 0; i < names; ++i) {
            int at = fam + 2 * i;
            Cell length = under(at);
            const u8* text = bytesAt(under(at + 1), length, name.c_str());
            if (length > 0 && std::memchr(text, '/', static_cast<size_t>(length)))
                throw AbortException(name + ": names stay in the scratch directory");
        }
        runOriginal();
    }

    // ".r" pads to any width it is given: a width of 2^62 would keep the
    // fuzzer writing blanks for good.
    void boundedWidth()
    {
        needCells(2, ".R");
        if (under(0) > MaxWidth) throw AbortException(".R: width past the fuzzer's bound");
        runOriginal();
    }

    static constexpr Cell MaxWidth = 4096;               // widest ".r" the fuzzer runs
    std::map<const Definition*, ForthHandler> original;  // handlers replaced by guards
    int branches = 0;                                    // branches run for this input
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    VekFuzz::enterScratchDirectory();
    // "key", "accept" and "refill" read the console: give them its end.
    if (!std::freopen("/dev/null", "r", stdin)) return 1;
    ForthProcessor::quitGuard = true;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 1 << 14) return 0;
    ForthProcessor::base = 10;
    FuzzForth* forth = new FuzzForth();
    forth->prepare();
    VekFuzz::Bytes in(data, size);
    while (!in.empty() && forth->line(in.until('\n'))) {
    }
    delete forth;
    return 0;
}
