// Backtracking machine for compiled regular expressions (see
// VekRegexProgram.h) and the regexMatch entry point.
//
// Patterns and texts come from web pages, so the machine is built to be
// safe on hostile input:
//  1. It never recurses: alternatives to try later live on a heap stack.
//  2. That stack holds at most MaxFrames entries, and one call runs at most
//     MaxSteps instructions over all start positions; reaching either limit
//     ends the call with REGEX_INTERNAL_ERROR.
//  3. A run of single-byte tests (".*", "[a-z]+", "x?") takes one stack
//     entry for the whole run instead of one per byte.
//  4. Every register write is undone on backtracking (a Restore entry), so
//     captures reflect only the path that finally matched.
#include "VekRegex.h"

#include <cctype>
#include <cstring>
#include <vector>

#include "VekRegexProgram.h"

namespace VekKernel {

using RegexInternal::Inst;
using RegexInternal::Op;
using RegexInternal::Program;

namespace {

constexpr long MaxSteps = 10L * 1000 * 1000;
constexpr std::size_t MaxFrames = 2u * 1024 * 1024;

enum class FrameKind : unsigned char {
    Branch,   // resume at pc, sp
    Restore,  // registers[pc] = sp
    Greedy,   // the Repeat at pc took bytes up to sp; may give back to limit
    Lazy,     // the Repeat at pc stopped at sp; may take more up to limit (-1: no limit)
};

struct Frame {
    FrameKind kind;
    int pc;
    int sp;
    int limit;
};

// Result of one attempt at a start position, besides an end offset >= 0.
constexpr int Exhausted = REGEX_NO_MATCH;
constexpr int LimitHit = REGEX_INTERNAL_ERROR;

// The single-byte test of Char, Set and Any (and of a Repeat's `test`).
bool bytePasses(const Program& program, Op test, int value, unsigned char byte) {
    switch (test) {
        case Op::Char:
            if (program.ignoreCase) byte = static_cast<unsigned char>(std::tolower(byte));
            return byte == value;
        case Op::Set: return program.sets[static_cast<std::size_t>(value)][byte];
        default: return true;
    }
}

class Machine {
public:
    Machine(const Program& program, const unsigned char* text, int length)
        : program_(program), text_(text), length_(length),
          registers_(static_cast<std::size_t>(program.registers), -1) {}

    // Runs the program from start: the end offset of a match, or
    // Exhausted, or LimitHit.
    int run(int start) {
        frames_.clear();
        std::fill(registers_.begin(), registers_.end(), -1);
        int pc = 0;
        int sp = start;
        for (;;) {
            if (++steps_ > MaxSteps) return LimitHit;
            const Inst& inst = program_.code[static_cast<std::size_t>(pc)];
            if (inst.op == Op::Match) return sp;
            int rc = execute(inst, pc, sp);
            if (rc == 0) rc = backtrack(pc, sp);
            if (rc < 0) return rc;
        }
    }

    // Capture bounds of group k (0-based): start in [2k], end in [2k+1].
    int registerValue(int index) const { return registers_[static_cast<std::size_t>(index)]; }

private:
    // Performs one instruction: 1 to go on at the new pc and sp, 0 to
    // backtrack, or LimitHit.
    int execute(const Inst& inst, int& pc, int& sp) {
        switch (inst.op) {
            case Op::Char:
            case Op::Any:
            case Op::Set:
                if (sp >= length_ || !passes(inst.op, inst.value, text_[sp])) return 0;
                ++sp;
                ++pc;
                return 1;
            case Op::Bol: ++pc; return sp == 0 ? 1 : 0;
            case Op::Eol: ++pc; return sp == length_ ? 1 : 0;
            case Op::Split:
                pc = inst.next;
                return push({FrameKind::Branch, inst.alt, sp, 0});
            case Op::Jump: pc = inst.next; return 1;
            case Op::Save: ++pc; return setRegister(inst.value, sp);
            case Op::Loop: return loopBack(inst, pc, sp);
            case Op::Repeat: return inst.lazy ? startLazy(inst, pc, sp) : startGreedy(inst, pc, sp);
            case Op::Match: break;
        }
        return LimitHit;  // not reached: Match is handled by run
    }

    int loopBack(const Inst& inst, int& pc, int sp) const {
        int began = registerValue(inst.value);
        if (sp > began) {
            pc = inst.next;
            return 1;
        }
        if (inst.min >= 0 && began == registerValue(inst.min)) {
            pc = inst.alt;
            return 1;
        }
        return 0;
    }

    bool passes(Op test, int value, unsigned char byte) const { return bytePasses(program_, test, value, byte); }

    // Bytes from sp on that pass the Repeat's test, at most `most`.
    int runLength(const Inst& inst, int sp, int most) {
        int n = 0;
        while (n < most && sp + n < length_ && passes(inst.test, inst.value, text_[sp + n])) ++n;
        steps_ += n;
        return n;
    }

    int startGreedy(const Inst& inst, int& pc, int& sp) {
        int most = inst.max < 0 ? length_ - sp : inst.max;
        int n = runLength(inst, sp, most);
        if (n < inst.min) return 0;
        if (n > inst.min && push({FrameKind::Greedy, pc, sp + n, sp + inst.min}) < 0) return LimitHit;
        sp += n;
        ++pc;
        return 1;
    }

    int startLazy(const Inst& inst, int& pc, int& sp) {
        if (runLength(inst, sp, inst.min) < inst.min) return 0;
        int limit = inst.max < 0 ? -1 : sp + inst.max;
        sp += inst.min;
        if (limit < 0 || sp < limit) {
            if (push({FrameKind::Lazy, pc, sp, limit}) < 0) return LimitHit;
        }
        ++pc;
        return 1;
    }

    int setRegister(int index, int sp) {
        if (push({FrameKind::Restore, index, registerValue(index), 0}) < 0) return LimitHit;
        registers_[static_cast<std::size_t>(index)] = sp;
        return 1;
    }

    int push(const Frame& frame) {
        if (frames_.size() >= MaxFrames) return LimitHit;
        frames_.push_back(frame);
        return 1;
    }

    // Resumes the newest alternative: 1 with pc and sp set, Exhausted when
    // none is left.
    int backtrack(int& pc, int& sp) {
        while (!frames_.empty()) {
            Frame& top = frames_.back();
            switch (top.kind) {
                case FrameKind::Restore:
                    registers_[static_cast<std::size_t>(top.pc)] = top.sp;
                    frames_.pop_back();
                    continue;
                case FrameKind::Branch:
                    pc = top.pc;
                    sp = top.sp;
                    frames_.pop_back();
                    return 1;
                case FrameKind::Greedy:
                    // Give back one byte; the entry goes when the minimum is reached.
                    sp = --top.sp;
                    pc = top.pc + 1;
                    if (top.sp <= top.limit) frames_.pop_back();
                    return 1;
                case FrameKind::Lazy:
                    if (takeOneMore(top)) {
                        sp = top.sp;
                        pc = top.pc + 1;
                        if (top.limit >= 0 && top.sp >= top.limit) frames_.pop_back();
                        return 1;
                    }
                    frames_.pop_back();
                    continue;
            }
        }
        return Exhausted;
    }

    bool takeOneMore(Frame& lazy) {
        const Inst& inst = program_.code[static_cast<std::size_t>(lazy.pc)];
        if (lazy.sp >= length_ || !passes(inst.test, inst.value, text_[lazy.sp])) return false;
        ++lazy.sp;
        return true;
    }

    const Program& program_;       // the compiled expression
    const unsigned char* text_;    // subject bytes
    int length_;                   // subject length
    std::vector<int> registers_;   // capture bounds and loop marks, -1 = unset
    std::vector<Frame> frames_;    // alternatives and undo entries
    long steps_ = 0;               // instructions run over all start positions
};

// Writes the non-empty captures of the match into caps.
void reportCaptures(const Machine& machine, const Program& program, const char* text, RegexCap* caps) {
    for (int group = 0; group < program.groups; ++group) {
        int start = machine.registerValue(2 * group);
        int end = machine.registerValue(2 * group + 1);
        if (start >= 0 && end > start) caps[group] = RegexCap{text + start, end - start};
    }
}

// The first start position from `start` on whose byte can begin a match,
// or a position past the text when there is none. Only a first instruction
// that must consume a byte (a literal, a set, or a run of at least one
// byte) rules positions out; a literal compared as it is is found with
// memchr.
int nextStart(const Program& program, const unsigned char* text, int length, int start) {
    const Inst& first = program.code[0];
    bool singleByte = first.op == Op::Char || first.op == Op::Set;
    bool mandatoryRun = first.op == Op::Repeat && first.min > 0;
    if (!singleByte && !mandatoryRun) return start;
    if (start >= length) return length + 1;
    if (first.op == Op::Char && !program.ignoreCase) {
        const void* found = std::memchr(text + start, first.value, static_cast<std::size_t>(length - start));
        return found != nullptr ? static_cast<int>(static_cast<const unsigned char*>(found) - text) : length + 1;
    }
    Op test = singleByte ? first.op : first.test;
    while (start < length && !bytePasses(program, test, first.value, text[start])) ++start;
    return start < length ? start : length + 1;
}

// The last start position that a failed attempt at `start` has already
// decided. When the expression begins with an unbounded run (".*", "\w+",
// "[a-z]*?"), the attempt at `start` tried the rest of the expression at
// every position the run can reach, up to the run's end; an attempt from a
// later start inside the run would only retry a subset of those positions,
// so the search goes on after the run. Without this, ".*x" or "[a-z]+@"
// over a long text would cost time quadratic in its length and end at the
// step limit.
int lastStartDecidedBy(const Program& program, const unsigned char* text, int length, int start) {
    const Inst& first = program.code[0];
    if (first.op != Op::Repeat || first.max >= 0) return start;
    int end = start;
    while (end < length && bytePasses(program, first.test, first.value, text[end])) ++end;
    return end;
}

}  // namespace

int regexMatch(const char* regex, const char* text, int textLen, RegexCap* caps, int numCaps, int flags) {
    if (regex == nullptr || textLen < 0 || (text == nullptr && textLen > 0)) return REGEX_INTERNAL_ERROR;
    Program program;
    int rc = RegexInternal::compileRegex(regex, (flags & IGNORE_CASE) != 0, program);
    if (rc != 0) return rc;
    if (numCaps > 0 && numCaps < program.groups) return REGEX_CAPS_TOO_SMALL;
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    Machine machine(program, bytes, textLen);
    // An expression anchored with "^" can only match at the text's start.
    int lastStart = program.anchored ? 0 : textLen;
    int start = nextStart(program, bytes, textLen, 0);
    while (start <= lastStart) {
        int end = machine.run(start);
        if (end == LimitHit) return REGEX_INTERNAL_ERROR;
        if (end >= 0) {
            if (caps != nullptr && numCaps > 0) reportCaptures(machine, program, text, caps);
            return end;
        }
        start = nextStart(program, bytes, textLen, lastStartDecidedBy(program, bytes, textLen, start) + 1);
    }
    return REGEX_NO_MATCH;
}

}  // namespace VekKernel
