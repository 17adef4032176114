// The Forth machine: construction, the dictionary and its lookup, execution
// and the inner interpreter, and the depth, bounds and ownership checks.
#include "ForthProcessor.h"
#include "ForthExtensions.h"

#include <sys/resource.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <new>

#include "VEKBaseRegistry.h"
#include "VEKClient.h"
#include "VEKConnectionPool.h"
#include "WordLogic.h"

namespace VekLanguage {

Definition* ForthProcessor::currentDefinition = nullptr;
Cell ForthProcessor::base = 10;
bool ForthProcessor::quitGuard = false;

namespace {

// What a zero-length range gives: a valid address nothing reads.
u8 emptyRange[1];

u64 addressOf(const void* p) { return static_cast<u64>(reinterpret_cast<uintptr_t>(p)); }

// Host stack the inner interpreter may use for nesting: half the stack
// limit, at most 4 MiB, so deep recursion ends in an error, not a crash.
intptr_t hostStackBudget() {
    static intptr_t budget = 0;
    if (budget == 0) {
        rlimit limit{};
        rlim_t bytes = 8u << 20;
        if (getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
            limit.rlim_cur < bytes)
            bytes = limit.rlim_cur;
        budget = static_cast<intptr_t>(bytes / 2);
    }
    return budget;
}

}  // namespace

ForthProcessor::ForthProcessor()
    : definitions(static_cast<Definition*>(
          ::operator new(MaxDefinitions * sizeof(Definition), std::align_val_t(alignof(Definition))))),
      connectionPool(VekConnectionPool::VEKConnectionPool::instance()),
      baseRegistry(VekBase::VEKBaseRegistry::instance()),
      runToken(newRunToken()),
      stackBudget(hostStackBudget()) {
    std::memset(dataSpace, 0, sizeof dataSpace);
    std::memset(dataStack, 0, sizeof dataStack);
    std::memset(returnStack, 0, sizeof returnStack);
    std::srand(static_cast<unsigned>(std::time(nullptr)));
}

ForthProcessor::ForthProcessor(const std::string& text) : ForthProcessor() { std::cout << text; }

ForthProcessor::~ForthProcessor() {
    clearDictionary();
    ::operator delete(definitions, std::align_val_t(alignof(Definition)));
    for (std::fstream* file : openFiles) delete file;
    for (auto& block : allocations) std::free(reinterpret_cast<void*>(static_cast<uintptr_t>(block.first)));
}

int forthPrintCallback(void*, int count, char** texts) {
    std::cout << count;
    if (texts != nullptr && texts[0] != nullptr) std::cout << texts[0];
    return 0;
}

void ForthProcessor::fail(const char* name, const char* suffix) {
    throw AbortException(std::string(name) + suffix);
}

// ---- dictionary ----

void ForthProcessor::clearDictionary() {
    for (size_t i = 0; i < count; ++i) definitions[i].~Definition();
    count = 0;
}

Definition* ForthProcessor::addDefinition(const std::string& name, ForthHandler handler) {
    if (count == MaxDefinitions) fail("CREATE", ": dictionary full");
    here = static_cast<Cell>((static_cast<u64>(here) + CellSize - 1) & ~static_cast<u64>(CellSize - 1));
    Definition* d = new (&definitions[count]) Definition{handler, here, here, 0, name, this};
    ++count;
    return d;
}

Definition* ForthProcessor::find(const char* name, size_t length) const {
    if (length == 0) return nullptr;
    for (size_t i = count; i-- > 0;) {
        const Definition& d = definitions[i];
        if (d.name.size() != length || (d.flags & FlagHidden)) continue;
        size_t k = 0;
        while (k < length && std::toupper(static_cast<u8>(d.name[k])) ==
                                 std::toupper(static_cast<u8>(name[k])))
            ++k;
        if (k == length) return &definitions[i];
    }
    return nullptr;
}

void ForthProcessor::registerTable(const KernelWord* table, bool immediate) {
    for (const KernelWord* row = table; row->name != nullptr; ++row) {
        Definition* d = addDefinition(row->name, row->handler);
        if (immediate) d->flags ^= FlagImmediate;
    }
}

void ForthProcessor::registerKernel() {
    registerTable(immediateWords, true);
    registerTable(kernelWords, false);
    registerTable(forthExtensionWords, false);
    const struct {
        const char* name;
        Definition** token;
        const char* missing;
    } tokens[] = {{"(lit)", &litXt, "Can't find (lit) in kernel dictionary"},
                  {"(does)", &doesXt, "Can't find (does) in kernel dictionary"},
                  {"exit", &exitXt, "Can't find EXIT in kernel dictionary"},
                  {"(;)", &semiXt, "Can't find (;) in kernel dictionary"}};
    for (const auto& t : tokens) {
        *t.token = find(t.name, std::strlen(t.name));
        if (*t.token == nullptr) throw std::runtime_error(t.missing);
    }
    branchXt = find("(branch)", 8);
    zbranchXt = find("(zbranch)", 9);
}

// ---- the inner interpreter ----

void ForthProcessor::wordLit() {
    roomCells(1, "(lit)");
    push(fetchCode("(lit)"));
}

void ForthProcessor::wordBranch() {
    Cell at = ip;
    Cell offset = fetchCode("(branch)");
    ip = static_cast<Cell>(static_cast<u64>(at) + static_cast<u64>(offset));
}

void ForthProcessor::wordZbranch() {
    needCells(1, "(zbranch)");
    if (pop() != 0)
        ip = static_cast<Cell>(static_cast<u64>(ip) + CellSize);
    else
        wordBranch();
}

void ForthProcessor::runCode(Cell code, const Definition* word) {
    // Nesting uses the host stack: refuse before it runs out.
    if (nesting == 0 && stackBase == 0)
        stackBase = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    checkHostStack(nameOf(word));
    // Restores the caller's instruction pointer and depth, also when a word fails.
    struct Nest {
        ForthProcessor& p;
        Cell savedIp;
        ~Nest() {
            p.ip = savedIp;
            --p.nesting;
        }
    } nest{*this, ip};
    ++nesting;
    ip = code;
    for (;;) {
        Definition* d = definitionAt(fetchCode(nameOf(word)));
        if (d == exitXt) break;
        if (d == nullptr) fail(nameOf(word), ": invalid execution token");
        // The commonest words run in place; each does what its handler does.
        if (d == litXt) {
            wordLit();
        } else if (d == zbranchXt) {
            wordZbranch();
        } else if (d == branchXt) {
            wordBranch();
        } else if (d->handler == &ForthProcessor::runColon) {
            Definition* saved = currentDefinition;
            currentDefinition = d;
            runCode(d->code, d);
            currentDefinition = saved;
        } else {
            execute(d);
        }
    }
}

void ForthProcessor::runColon() {
    runCode(currentDefinition->code, currentDefinition);
}

void ForthProcessor::runCreated() {
    roomCells(1, nameOf(currentDefinition));
    push(currentDefinition->body);
}

void ForthProcessor::runDoes() {
    Definition* self = currentDefinition;
    roomCells(1, nameOf(self));
    push(self->body);
    runCode(self->code, self);
}

// ---- data space ----

void ForthProcessor::checkHere(const char* name) const {
    if (static_cast<u64>(here) - addressOf(dataSpace) >= static_cast<u64>(DataSpaceSize))
        fail(name, ": HERE outside data space");
}

void ForthProcessor::roomBytes(int64 n, const char* name) const {
    u64 offset = static_cast<u64>(here) - addressOf(dataSpace);
    if (offset >= static_cast<u64>(DataSpaceSize) || static_cast<u64>(n) >= DataSpaceSize - offset)
        fail(name, ": data space overflow");
}

void ForthProcessor::compile(Cell x) {
    checkHere(",");
    roomBytes(CellSize, ",");
    checkAligned(here, ",");
    std::memcpy(dataSpace + (static_cast<u64>(here) - addressOf(dataSpace)), &x, sizeof x);
    here += CellSize;
}

// ---- owned memory ----

bool ForthProcessor::regionOf(u64 address, Region& region) const {
    // A text region followed by its NUL also owns that NUL, so an empty text at
    // its very end (an empty result, an empty quoted string) can be passed on.
    auto inside = [&](const void* start, u64 size, bool nulAfter) {
        if (address - addressOf(start) >= size + (nulAfter ? 1 : 0)) return false;
        region = Region{addressOf(start), size, nulAfter};
        return true;
    };
    if (inside(dataSpace, DataSpaceSize, false) || inside(dataStack, sizeof dataStack, false) ||
        inside(returnStack, sizeof returnStack, false) || inside(&state, sizeof state, false) ||
        inside(&toIn, sizeof toIn, false) || inside(&base, sizeof base, false) ||
        inside(source.data(), source.size(), true) ||
        inside(wordBuffer.data(), wordBuffer.size(), true) ||
        inside(parseBuffer.data(), parseBuffer.size(), true))
        return true;
    for (int i = 0; i < argCount; ++i)
        if (inside(argVector[i], std::strlen(argVector[i]) + 1, false)) return true;
    auto block = allocations.upper_bound(address);
    if (block != allocations.begin()) {
        --block;
        if (address - block->first < block->second) {
            region = Region{block->first, block->second, false};
            return true;
        }
    }
    for (const std::string& text : heldTexts)
        if (inside(text.data(), text.size(), true)) return true;
    for (size_t i = 0; i < count; ++i)  // names that "xt>name" hands out
        if (inside(definitions[i].name.data(), definitions[i].name.size(), true)) return true;
    return false;
}

u8* ForthProcessor::bytesAt(Cell address, Cell length, const char* name) {
    if (length == 0) return emptyRange;
    Region region;
    u64 start = static_cast<u64>(address);
    if (length < 0 || !regionOf(start, region) ||
        static_cast<u64>(length) > region.size - (start - region.start))
        fail(name, ": invalid address");
    return reinterpret_cast<u8*>(static_cast<uintptr_t>(start));
}

u8* ForthProcessor::cellAt(Cell address, const char* name) {
    checkAligned(address, name);
    return bytesAt(address, CellSize, name);
}

std::string ForthProcessor::textAt(Cell address, const char* name) {
    Region region;
    u64 start = static_cast<u64>(address);
    if (!regionOf(start, region)) fail(name, ": invalid address");
    const char* text = reinterpret_cast<const char*>(static_cast<uintptr_t>(start));
    size_t room = static_cast<size_t>(region.size - (start - region.start));
    const void* nul = std::memchr(text, 0, room);
    if (nul != nullptr) return std::string(text, static_cast<const char*>(nul) - text);
    if (!region.nulAfter) fail(name, ": invalid address");
    return std::string(text, room);
}

Cell ForthProcessor::holdText(const std::string& text) {
    heldTexts.push_back(text);
    if (heldTexts.size() > HeldTexts) heldTexts.pop_front();
    return static_cast<Cell>(addressOf(heldTexts.back().data()));
}

void ForthProcessor::pushText(const std::string& text, const char* name) {
    roomCells(2, name);
    push(holdText(text));
    push(static_cast<Cell>(text.size()));
}

std::fstream* ForthProcessor::fileAt(Cell id, const char* name, const char* suffix) const {
    for (std::fstream* file : openFiles)
        if (static_cast<Cell>(addressOf(file)) == id) return file;
    fail(name, suffix);
}

}  // namespace VekLanguage
