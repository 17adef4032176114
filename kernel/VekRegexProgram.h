// Internal to the regular-expression matcher: the compiled form of an
// expression, a small instruction program run by a backtracking machine
// (VekRegex.cpp), and the compiler entry point (VekRegexCompile.cpp).
#pragma once
#include <bitset>
#include <string>
#include <vector>

namespace VekKernel {
namespace RegexInternal {

enum class Op {
    Char,    // byte equal to `value` (after tolower when ignoring case)
    Any,     // any byte
    Set,     // byte in sets[value]
    Bol,     // at the start of the text
    Eol,     // at the end of the text
    Split,   // try `next`, and on failure `alt`
    Jump,    // continue at `next`
    Save,    // register[value] = position (capture bounds, loop marks)
    Loop,    // after a loop body begun at register `value`: to `next` if it
             // consumed; else to `alt` if it was the first iteration of a
             // loop begun at register `min` (min >= 0), else fail
    Repeat,  // a run of min..max bytes passing the test (`test`, `value`)
    Match,   // success
};

struct Inst {
    Op op;
    int value = 0;     // byte, set index or register
    int next = 0;      // Split/Jump/Loop target
    int alt = 0;       // Split/Loop second target
    int min = 0;       // Repeat: fewest bytes
    int max = 0;       // Repeat: most bytes, -1 without limit
    bool lazy = false; // Repeat: try the fewest first
    Op test = Op::Any; // Repeat: the single-byte test (Char, Any or Set)
};

struct Program {
    std::vector<Inst> code;                // starts at 0, ends with Match
    std::vector<std::bitset<256>> sets;    // byte sets, case already folded
    int groups = 0;                        // opening parentheses
    int registers = 0;                     // 2 * groups capture bounds + loop marks
    bool anchored = false;                 // starts with ^ outside any alternative
    bool ignoreCase = false;               // Char compares after tolower
};

// Parses and compiles regex. Returns 0, or the negative result code of a
// malformed expression.
int compileRegex(const char* regex, bool ignoreCase, Program& program);

}  // namespace RegexInternal
}  // namespace VekKernel
