// The Forth core words: stacks, arithmetic and logic, memory, number
// conversion and console output, and the error words. Arithmetic wraps
// modulo 2^64 (computed on unsigned cells, so it never overflows).
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <limits>

#include "ForthProcessor.h"

namespace VekLanguage {

namespace {

u64 asUnsigned(Cell x) { return static_cast<u64>(x); }
Cell asCell(u64 x) { return static_cast<Cell>(x); }
Cell flag(bool b) { return b ? -1 : 0; }
Cell addressCell(const void* p) { return static_cast<Cell>(reinterpret_cast<uintptr_t>(p)); }

void writeOut(const std::string& text) { std::cout.write(text.data(), static_cast<std::streamsize>(text.size())); }

// The largest block "allocate" and "resize" ask for.
constexpr Cell MaxBlock = std::numeric_limits<u32>::max() - 64;

// The heap of "allocate", "resize" and "free" is plain malloc: a program
// asking for more than the host gives gets a null block and carries on
// (0 -1 on the stack), where the process-wide allocator would end the
// process. A zero size still makes a block of its own (realloc to 0
// would free the old one).
void* heapAllocate(Cell size) { return std::malloc(static_cast<size_t>(size > 0 ? size : 1)); }
void* heapResize(void* block, Cell size)
{
    return std::realloc(block, static_cast<size_t>(size > 0 ? size : 1));
}

// The value of c as a digit of BASE, or -1 when it is none.
int digitValue(u8 c) {
    int value;
    if (c < '0') return -1;
    if (c <= '9')
        value = c - '0';
    else if (ForthProcessor::base <= 10)
        return -1;
    else if (c >= 'A' && c <= 'Z')
        value = c - 55;
    else if (c >= 'a' && c <= 'z')
        value = c - 87;
    else
        return -1;
    return value < ForthProcessor::base ? value : -1;
}

// Converts digits from the left of text while they are digits of BASE;
// returns how many were taken. The accumulator wraps.
size_t convertDigits(u64& number, const u8* text, size_t length) {
    size_t i = 0;
    for (; i < length; ++i) {
        int digit = digitValue(text[i]);
        if (digit < 0) break;
        number = number * static_cast<u64>(ForthProcessor::base) + static_cast<u64>(digit);
    }
    return i;
}

}  // namespace

size_t ForthProcessor::convertNumber(u64& number, const u8* text, size_t length, bool allowSign) {
    if (!allowSign) return convertDigits(number, text, length);
    if (length >= 2 && text[0] == '-') {
        size_t taken = 1 + convertDigits(number, text + 1, length - 1);
        number = 0 - number;
        return taken;
    }
    return convertDigits(number, text, length);
}

std::string ForthProcessor::formatNumber(Cell n, bool unsignedOutput) {
    int radix = base == 8 ? 8 : base == 16 ? 16 : 10;
    bool negative = radix == 10 && !unsignedOutput && n < 0;
    u64 value = negative ? 0 - asUnsigned(n) : asUnsigned(n);
    char digits[72];
    char* p = digits + sizeof digits;
    do {
        *--p = "0123456789abcdef"[value % radix];
        value /= radix;
    } while (value != 0);
    if (negative) *--p = '-';
    return std::string(p, digits + sizeof digits - p);
}

// ---- stacks ----

void ForthProcessor::wordDrop() {
    needCells(1, "DROP");
    pop();
}

void ForthProcessor::wordPick() {
    needCells(1, "PICK");
    Cell u = top();
    if (u < 0 || u > sp - 2) fail("PICK", ": stack underflow");
    top() = under(static_cast<int>(u) + 1);
}

void ForthProcessor::wordRoll() {
    needCells(1, "ROLL");
    Cell u = top();
    if (u < 0 || u > sp - 2) fail("ROLL", ": stack underflow");
    pop();
    Cell* deepest = &dataStack[sp - 1 - u];
    Cell x = *deepest;
    std::memmove(deepest, deepest + 1, static_cast<size_t>(u) * sizeof(Cell));
    top() = x;
}

void ForthProcessor::wordDepth() {
    roomCells(1, "DEPTH");
    push(sp);
}

void ForthProcessor::wordToR() {
    needCells(1, ">R");
    roomReturnCells(1, ">R");
    rpush(pop());
}

void ForthProcessor::wordRFrom() {
    needReturnCells(1, "R>");
    roomCells(1, "R>");
    push(rpop());
}

void ForthProcessor::wordRFetch() {
    needReturnCells(1, "R@");
    roomCells(1, "R@");
    push(returnStack[rp - 1]);
}

void ForthProcessor::wordDotS() {
    std::string text = "<" + formatNumber(sp, false) + "> ";
    for (int i = 0; i < sp; ++i) text += formatNumber(dataStack[i], false) + " ";
    writeOut(text);
}

void ForthProcessor::wordDotRS() {
    std::string text = "<<" + formatNumber(rp, false) + ">> ";
    for (int i = 0; i < rp; ++i) text += formatNumber(returnStack[i], false) + " ";
    writeOut(text);
}

// ---- arithmetic and logic ----

// Replaces the two top cells n m by op(n, m); checks under name.
#define FORTH_BINARY(handler, name, expression) \
    void ForthProcessor::handler() {            \
        needCells(2, name);                     \
        Cell m = pop();                         \
        Cell n = top();                         \
        top() = (expression);                   \
    }

FORTH_BINARY(wordPlus, "+", asCell(asUnsigned(n) + asUnsigned(m)))
FORTH_BINARY(wordMinus, "-", asCell(asUnsigned(n) - asUnsigned(m)))
FORTH_BINARY(wordStar, "*", asCell(asUnsigned(n) * asUnsigned(m)))
FORTH_BINARY(wordAnd, "AND", n & m)
FORTH_BINARY(wordOr, "OR", n | m)
FORTH_BINARY(wordXor, "XOR", n ^ m)
FORTH_BINARY(wordLshift, "LSHIFT", asCell(asUnsigned(n) << (asUnsigned(m) & 63)))
FORTH_BINARY(wordRshift, "RSHIFT", asCell(asUnsigned(n) >> (asUnsigned(m) & 63)))
FORTH_BINARY(wordEquals, "=", flag(n == m))
FORTH_BINARY(wordLess, "<", flag(n < m))
FORTH_BINARY(wordULess, "U<", flag(asUnsigned(n) < asUnsigned(m)))

#undef FORTH_BINARY

// Truncated division that never traps: the most negative number by -1
// wraps to itself with remainder 0.
static void divide(Cell n, Cell m, Cell& quotient, Cell& remainder) {
    if (m == -1) {
        quotient = asCell(0 - asUnsigned(n));
        remainder = 0;
    } else {
        quotient = n / m;
        remainder = n % m;
    }
}

void ForthProcessor::wordSlash() {
    needCells(2, "/");
    if (top() == 0) fail("/", ": zero divisor");
    Cell m = pop(), remainder;
    divide(top(), m, top(), remainder);
}

void ForthProcessor::wordSlashMod() {
    needCells(2, "/MOD");
    if (top() == 0) fail("/MOD", ": zero divisor");
    Cell quotient, remainder;
    divide(under(1), under(0), quotient, remainder);
    under(1) = remainder;
    under(0) = quotient;
}

// ---- memory ----

void ForthProcessor::wordFetch() {
    needCells(1, "@");
    std::memcpy(&top(), cellAt(top(), "@"), sizeof(Cell));
}

void ForthProcessor::wordStore() {
    needCells(2, "!");
    u8* cell = cellAt(under(0), "!");
    std::memcpy(cell, &under(1), sizeof(Cell));
    sp -= 2;
}

void ForthProcessor::wordCFetch() {
    needCells(1, "C@");
    top() = *bytesAt(top(), 1, "C@");
}

void ForthProcessor::wordCStore() {
    needCells(2, "C!");
    *bytesAt(under(0), 1, "C!") = static_cast<u8>(under(1));
    sp -= 2;
}

void ForthProcessor::wordHere() {
    roomCells(1, "HERE");
    push(here);
}

void ForthProcessor::wordAllot() {
    needCells(1, "ALLOT");
    checkHere("ALLOT");
    roomBytes(CellSize, "ALLOT");
    here = asCell(asUnsigned(here) + asUnsigned(pop()));
}

void ForthProcessor::wordAlign() {
    here = asCell((asUnsigned(here) + CellSize - 1) & ~asUnsigned(CellSize - 1));
    checkHere("ALIGN");
}

void ForthProcessor::wordAligned() {
    needCells(1, "ALIGNED");
    top() = asCell((asUnsigned(top()) + CellSize - 1) & ~asUnsigned(CellSize - 1));
}

void ForthProcessor::wordCells() {
    needCells(1, "CELLS");
    top() = asCell(asUnsigned(top()) * CellSize);
}

void ForthProcessor::wordUnused() {
    roomCells(1, "UNUSED");
    push(asCell(asUnsigned(addressCell(dataSpace)) + DataSpaceSize - asUnsigned(here)));
}

void ForthProcessor::wordCount() {
    needCells(1, "COUNT");
    roomCells(1, "COUNT");
    u8 length = *bytesAt(top(), 1, "COUNT");
    top() += 1;
    push(length);
}

void ForthProcessor::wordCmove() {
    needCells(3, "CMOVE");
    Cell length = under(0);
    const u8* from = bytesAt(under(2), length, "CMOVE");
    u8* to = bytesAt(under(1), length, "CMOVE");
    std::memmove(to, from, static_cast<size_t>(length));
    sp -= 3;
}

void ForthProcessor::wordCmoveUp() {
    needCells(3, "CMOVE>");
    Cell length = under(0);
    const u8* from = bytesAt(under(2), length, "CMOVE>");
    u8* to = bytesAt(under(1), length, "CMOVE>");
    for (Cell i = length; i-- > 0;) to[i] = from[i];
    sp -= 3;
}

void ForthProcessor::wordFill() {
    needCells(3, "FILL");
    Cell length = under(1);
    std::memset(bytesAt(under(2), length, "FILL"), static_cast<u8>(under(0)), static_cast<size_t>(length));
    sp -= 3;
}

void ForthProcessor::wordCompare() {
    needCells(4, "COMPARE");
    Cell length1 = under(2), length2 = under(0);
    const u8* text1 = bytesAt(under(3), length1, "COMPARE");
    const u8* text2 = bytesAt(under(1), length2, "COMPARE");
    Cell shorter = length1 < length2 ? length1 : length2;
    int order = shorter > 0 ? std::memcmp(text1, text2, static_cast<size_t>(shorter)) : 0;
    if (order == 0) order = length1 < length2 ? -1 : length1 > length2 ? 1 : 0;
    sp -= 3;
    top() = order < 0 ? -1 : order > 0 ? 1 : 0;
}

void ForthProcessor::wordAllocate() {
    needCells(1, "ALLOCATE");
    roomCells(1, "ALLOCATE");
    Cell size = top();
    if (size < 0 || size > MaxBlock) {
        top() = 0;
        push(-1);
        return;
    }
    void* block = heapAllocate(size);
    top() = addressCell(block);
    push(block == nullptr ? -1 : 0);
    if (block != nullptr) allocations[reinterpret_cast<uintptr_t>(block)] = static_cast<u64>(size);
}

// The live block at address (0 is no block), else "<name>: invalid address".
static void* liveBlock(const std::map<u64, u64>& blocks, Cell address, const char* name) {
    if (address != 0 && blocks.count(asUnsigned(address)) == 0) ForthProcessor::fail(name, ": invalid address");
    return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}

void ForthProcessor::wordFree() {
    needCells(1, "FREE");
    void* block = liveBlock(allocations, top(), "FREE");
    allocations.erase(asUnsigned(top()));
    std::free(block);
    top() = 0;
}

void ForthProcessor::wordResize() {
    needCells(2, "RESIZE");
    void* block = liveBlock(allocations, under(1), "RESIZE");
    Cell size = under(0);
    if (size < 0 || size > MaxBlock) {
        under(1) = 0;
        under(0) = -1;
        return;
    }
    // A failed resize leaves the old block as it was and still live.
    void* resized = block == nullptr ? heapAllocate(size) : heapResize(block, size);
    if (resized == nullptr) {
        under(1) = 0;
        under(0) = -1;
        return;
    }
    allocations.erase(asUnsigned(under(1)));
    allocations[reinterpret_cast<uintptr_t>(resized)] = static_cast<u64>(size);
    under(1) = addressCell(resized);
    under(0) = 0;
}

void ForthProcessor::wordToBody() {
    needCells(1, ">BODY");
    Definition* d = definitionAt(top());
    if (d == nullptr) fail(">BODY", ": invalid execution token");
    top() = d->body;
}

void ForthProcessor::wordXtToName() {
    needCells(1, "XT>NAME");
    roomCells(1, "XT>NAME");
    Definition* d = definitionAt(top());
    if (d == nullptr) fail("XT>NAME", ": invalid execution token");
    top() = addressCell(d->name.data());
    push(static_cast<Cell>(d->name.size()));
}

// ---- numbers and console ----

void ForthProcessor::wordBase() {
    roomCells(1, "BASE");
    push(addressCell(&base));
}

void ForthProcessor::wordToUnum() {
    needCells(3, ">UNUM");
    wordToNumber(">UNUM", false);
}

void ForthProcessor::wordToNum() {
    needCells(3, ">NUM");
    wordToNumber(">NUM", true);
}

void ForthProcessor::wordToNumber(const char* name, bool allowSign) {
    Cell length = under(0);
    const u8* text = bytesAt(under(1), length, name);
    u64 number = asUnsigned(under(2));
    size_t taken = convertNumber(number, text, static_cast<size_t>(length), allowSign);
    under(2) = asCell(number);
    under(1) += static_cast<Cell>(taken);
    under(0) -= static_cast<Cell>(taken);
}

void ForthProcessor::wordBl() {
    roomCells(1, "BL");
    push(' ');
}

void ForthProcessor::wordEmit() {
    needCells(1, "EMIT");
    std::cout.put(static_cast<char>(pop()));
}

void ForthProcessor::wordType() {
    needCells(2, "TYPE");
    Cell length = under(0);
    const u8* text = bytesAt(under(1), length, "TYPE");
    std::cout.write(reinterpret_cast<const char*>(text), static_cast<std::streamsize>(length));
    sp -= 2;
}

void ForthProcessor::wordCr() {
    std::cout << '\n';
    std::cout.flush();
}

void ForthProcessor::wordDot() {
    needCells(1, ".");
    writeOut(formatNumber(pop(), false));
}

void ForthProcessor::wordUDot() {
    needCells(1, "U.");
    writeOut(formatNumber(pop(), true));
}

void ForthProcessor::wordDotR() {
    needCells(2, ".R");
    Cell width = pop();
    std::string text = formatNumber(pop(), false);
    static const std::string blanks(64, ' ');
    for (Cell pad = width - static_cast<Cell>(text.size()); pad > 0; pad -= 64)
        std::cout.write(blanks.data(), pad < 64 ? static_cast<std::streamsize>(pad) : 64);
    writeOut(text);
}

void ForthProcessor::wordKey() {
    roomCells(1, "KEY");
    int c = std::cin.get();
    push(c == std::char_traits<char>::eof() ? -1 : static_cast<u8>(c));
}

void ForthProcessor::wordAbort() { throw AbortException(""); }

void ForthProcessor::wordAbortMessage() {
    needCells(2, "ABORT-MESSAGE");
    Cell length = under(0);
    const u8* text = bytesAt(under(1), length, "ABORT-MESSAGE");
    throw AbortException(std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(length)));
}

void ForthProcessor::wordBye() {
    std::cout.flush();
    std::exit(0);
}

void ForthProcessor::wordMs() {
    needCells(1, "MS");
    pop();
}

}  // namespace VekLanguage
