// Regular-expression compiler: parses an expression into a small syntax
// tree and emits the instruction program that VekRegex.cpp runs.
//
// Grammar (one function per rule):
//   alternation -> sequence ('|' sequence)*
//   sequence    -> (atom quantifier?)*
//   atom        -> '(' alternation ')' | '[' set ']' | '.' | '^' | '$'
//                | '\' escape | byte
//   quantifier  -> ('*' | '+' | '?') '?'?
//
// Recursion only follows parentheses, and at most 99 of those are allowed,
// so parsing and emitting cannot exhaust the stack whatever the input.
#include <cctype>
#include <cstring>
#include <memory>

#include "VekRegex.h"
#include "VekRegexProgram.h"

namespace VekKernel {
namespace RegexInternal {

namespace {

constexpr int MaxBrackets = 99;  // opening parentheses
constexpr int MaxBranches = 99;  // '|' separators

using ByteSet = std::bitset<256>;

struct Node;
using NodePtr = std::unique_ptr<Node>;

// One element of the syntax tree.
struct Node {
    enum Kind { Test, Bol, Eol, Group, Concat, Alt, Repeat } kind;
    Op test = Op::Any;  // Test: Char, Any or Set
    int value = 0;      // Test: byte or set index; Group: group index
    int min = 0;        // Repeat bounds: max -1 = no limit
    int max = 0;
    bool lazy = false;
    std::vector<NodePtr> children;

    explicit Node(Kind k) : kind(k) {}
};

NodePtr makeTest(Op op, int value) {
    NodePtr node(new Node(Node::Test));
    node->test = op;
    node->value = value;
    return node;
}

bool isQuantifier(char c) {
    return c == '*' || c == '+' || c == '?';
}

// The byte class of \d \w \s (upper case: the complement); false for any
// other letter.
bool classEscape(char letter, ByteSet& set) {
    set.reset();
    char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    for (int c = 0; c < 256; ++c) {
        bool in = false;
        if (lower == 'd') in = std::isdigit(c);
        else if (lower == 'w') in = std::isalnum(c) || c == '_';
        else if (lower == 's') in = c == ' ' || (c >= '\t' && c <= '\r');
        else return false;
        set[c] = in;
    }
    if (std::isupper(static_cast<unsigned char>(letter))) set.flip();
    return true;
}

// The byte of \n \t \r \f \v \a \0, or -1.
int controlByte(char letter) {
    switch (letter) {
        case 'n': return '\n';
        case 't': return '\t';
        case 'r': return '\r';
        case 'f': return '\f';
        case 'v': return '\v';
        case 'a': return '\a';
        case '0': return 0;
        default: return -1;
    }
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

class Parser {
public:
    Parser(const char* regex, bool ignoreCase, Program& program)
        : p_(regex), ignoreCase_(ignoreCase), program_(program) {}

    // parse -> alternation <end>
    int parse(NodePtr& root) {
        int rc = alternation(root);
        if (rc != 0) return rc;
        if (*p_ == ')') return REGEX_UNBALANCED_BRACKETS;
        return 0;
    }

private:
    // alternation -> sequence ('|' sequence)*
    int alternation(NodePtr& out) {
        NodePtr first;
        int rc = sequence(first);
        if (rc != 0 || *p_ != '|') {
            out = std::move(first);
            return rc;
        }
        out.reset(new Node(Node::Alt));
        out->children.push_back(std::move(first));
        while (*p_ == '|') {
            if (++branches_ > MaxBranches) return REGEX_TOO_MANY_BRANCHES;
            ++p_;
            NodePtr next;
            if ((rc = sequence(next)) != 0) return rc;
            out->children.push_back(std::move(next));
        }
        return 0;
    }

    // sequence -> (atom quantifier?)*
    int sequence(NodePtr& out) {
        out.reset(new Node(Node::Concat));
        while (*p_ != '\0' && *p_ != '|' && *p_ != ')') {
            NodePtr item;
            int rc = atom(item);
            if (rc == 0) rc = quantifier(item);
            if (rc != 0) return rc;
            out->children.push_back(std::move(item));
        }
        return 0;
    }

    // atom -> '(' alternation ')' | '[' set ']' | '.' | '^' | '$' | '\' escape | byte
    int atom(NodePtr& out) {
        char c = *p_++;
        switch (c) {
            case '(': return group(out);
            case '[': return set(out);
            case '.': out = makeTest(Op::Any, 0); return 0;
            case '^': out.reset(new Node(Node::Bol)); return 0;
            case '$': out.reset(new Node(Node::Eol)); return 0;
            case '\\': return escape(out);
            default:
                if (isQuantifier(c)) return REGEX_UNEXPECTED_QUANTIFIER;
                out = literal(static_cast<unsigned char>(c));
                return 0;
        }
    }

    // group -> '(' alternation ')'   (the '(' is already read)
    int group(NodePtr& out) {
        if (program_.groups >= MaxBrackets) return REGEX_TOO_MANY_BRACKETS;
        out.reset(new Node(Node::Group));
        out->value = program_.groups++;
        NodePtr body;
        int rc = alternation(body);
        if (rc != 0) return rc;
        if (*p_ != ')') return REGEX_UNBALANCED_BRACKETS;
        ++p_;
        out->children.push_back(std::move(body));
        return 0;
    }

    // quantifier -> ('*' | '+' | '?') '?'?
    int quantifier(NodePtr& item) {
        char c = *p_;
        if (!isQuantifier(c)) return 0;
        if (item->kind == Node::Bol || item->kind == Node::Eol) return REGEX_UNEXPECTED_QUANTIFIER;
        ++p_;
        NodePtr repeat(new Node(Node::Repeat));
        repeat->min = c == '+' ? 1 : 0;
        repeat->max = c == '?' ? 1 : -1;
        if (*p_ == '?') {
            repeat->lazy = true;
            ++p_;
        }
        repeat->children.push_back(std::move(item));
        item = std::move(repeat);
        return 0;
    }

    // escape -> class letter | control letter | 'x' hex hex | punctuation
    int escape(NodePtr& out) {
        ByteSet cls;
        int byte = 0;
        int rc = escapedByteOrClass(cls, byte);
        if (rc < 0) return rc;
        out = rc == 1 ? makeTest(Op::Set, addSet(fold(cls))) : literal(static_cast<unsigned char>(byte));
        return 0;
    }

    // Reads what follows a backslash: returns 0 with byte set, 1 with cls
    // set, or a negative code.
    int escapedByteOrClass(ByteSet& cls, int& byte) {
        char c = *p_;
        if (c == '\0') return REGEX_BAD_METACHARACTER;
        ++p_;
        if (classEscape(c, cls)) return 1;
        if (!std::isalnum(static_cast<unsigned char>(c))) {
            byte = static_cast<unsigned char>(c);
            return 0;
        }
        int control = controlByte(c);
        if (control >= 0) {
            byte = control;
            return 0;
        }
        if (c == 'x') return hexByte(byte);
        return REGEX_BAD_METACHARACTER;
    }

    int hexByte(int& byte) {
        int high = hexDigit(p_[0]);
        int low = high < 0 ? -1 : hexDigit(p_[1]);
        if (low < 0) return REGEX_BAD_METACHARACTER;
        p_ += 2;
        byte = high * 16 + low;
        return 0;
    }

    // set -> '^'? item+ ']'    item -> byte ('-' byte)? | class escape
    int set(NodePtr& out) {
        bool negate = *p_ == '^';
        if (negate) ++p_;
        ByteSet members;
        bool empty = true;
        while (*p_ != ']') {
            if (*p_ == '\0') return REGEX_BAD_CHARSET;
            int rc = setItem(members);
            if (rc != 0) return rc;
            empty = false;
        }
        ++p_;
        if (empty) return REGEX_BAD_CHARSET;
        ByteSet folded = fold(members);
        if (negate) folded.flip();
        out = makeTest(Op::Set, addSet(folded));
        return 0;
    }

    int setItem(ByteSet& members) {
        int low = 0;
        int rc = setByte(members, low);
        if (rc != 0) return rc == 1 ? 0 : rc;
        if (p_[0] != '-' || p_[1] == ']' || p_[1] == '\0') {
            members[low] = true;
            return 0;
        }
        ++p_;
        int high = 0;
        rc = setByte(members, high);
        if (rc == 1 || (rc == 0 && high < low)) return REGEX_BAD_CHARSET;
        if (rc != 0) return rc;
        for (int c = low; c <= high; ++c) members[c] = true;
        return 0;
    }

    // One byte of a set into byte (0), or a class escape merged into
    // members (1), or a negative code.
    int setByte(ByteSet& members, int& byte) {
        char c = *p_++;
        if (c != '\\') {
            byte = static_cast<unsigned char>(c);
            return 0;
        }
        ByteSet cls;
        int rc = escapedByteOrClass(cls, byte);
        if (rc == 1) members |= cls;
        return rc;
    }

    // Under IGNORE_CASE a set holds the lower-case forms of its members
    // and is looked up with the lower-case form of the text byte.
    ByteSet fold(const ByteSet& members) const {
        if (!ignoreCase_) return members;
        ByteSet folded;
        for (int c = 0; c < 256; ++c) {
            if (members[c]) folded[std::tolower(c)] = true;
        }
        ByteSet result;
        for (int c = 0; c < 256; ++c) result[c] = folded[std::tolower(c)];
        return result;
    }

    NodePtr literal(unsigned char byte) const {
        return makeTest(Op::Char, ignoreCase_ ? std::tolower(byte) : byte);
    }

    int addSet(const ByteSet& set) {
        program_.sets.push_back(set);
        return static_cast<int>(program_.sets.size()) - 1;
    }

    const char* p_;         // next unread byte of the expression
    bool ignoreCase_;       // fold literals and sets with tolower
    Program& program_;      // receives sets and the group count
    int branches_ = 0;      // '|' seen so far
};

// Emits the instructions of a syntax tree.
class Emitter {
public:
    explicit Emitter(Program& program) : program_(program) {}

    void emitProgram(const Node& root) {
        program_.registers = 2 * program_.groups;
        node(root);
        add(Inst{Op::Match});
    }

private:
    int add(const Inst& inst) {
        program_.code.push_back(inst);
        return here() - 1;
    }
    int here() const { return static_cast<int>(program_.code.size()); }
    Inst& at(int pc) { return program_.code[static_cast<std::size_t>(pc)]; }

    void node(const Node& n) {
        switch (n.kind) {
            case Node::Test: add(Inst{n.test, n.value}); break;
            case Node::Bol: add(Inst{Op::Bol}); break;
            case Node::Eol: add(Inst{Op::Eol}); break;
            case Node::Concat:
                for (const NodePtr& child : n.children) node(*child);
                break;
            case Node::Group:
                add(Inst{Op::Save, 2 * n.value});
                node(*n.children[0]);
                add(Inst{Op::Save, 2 * n.value + 1});
                break;
            case Node::Alt: alternatives(n); break;
            case Node::Repeat: repeat(n); break;
        }
    }

    // Split a | Split b | c: each alternative but the last jumps to the end.
    void alternatives(const Node& n) {
        std::vector<int> jumps;
        for (std::size_t i = 0; i + 1 < n.children.size(); ++i) {
            int split = add(Inst{Op::Split});
            at(split).next = here();
            node(*n.children[i]);
            jumps.push_back(add(Inst{Op::Jump}));
            at(split).alt = here();
        }
        node(*n.children.back());
        for (int jump : jumps) at(jump).next = here();
    }

    void repeat(const Node& n) {
        const Node& body = *n.children[0];
        if (body.kind == Node::Test) {
            Inst run{Op::Repeat, body.value};
            run.test = body.test;
            run.min = n.min;
            run.max = n.max;
            run.lazy = n.lazy;
            add(run);
        } else if (n.max == 1) {
            optional(n, body);
        } else {
            loop(n, body);
        }
    }

    // body? : Split to the body and past it, in the preferred order.
    void optional(const Node& n, const Node& body) {
        int split = add(Inst{Op::Split});
        int bodyStart = here();
        node(body);
        order(at(split), n.lazy, bodyStart, here());
    }

    // body* :  L0: Split L1, Lx   L1: Save m; body; Loop m -> L0   Lx:
    // body+ :  Save f   L1: Save m; body; Loop m -> L2 / Lx   L2: Split L1, Lx   Lx:
    // The mark register m holds where the iteration began. An iteration
    // that consumed nothing fails (its captures are undone), so a body that
    // can match the empty text cannot spin forever; only the mandatory
    // first iteration of body+ (the one that began where the loop began, at
    // register f) may match empty and leave the loop.
    void loop(const Node& n, const Node& body) {
        int first = -1;
        if (n.min > 0) {
            first = program_.registers++;
            add(Inst{Op::Save, first});
        }
        int mark = program_.registers++;
        int entry = n.min == 0 ? add(Inst{Op::Split}) : -1;
        int bodyStart = add(Inst{Op::Save, mark});
        node(body);
        int back = add(Inst{Op::Loop, mark});
        at(back).min = first;
        int split = entry;
        if (split < 0) split = add(Inst{Op::Split});
        int exit = here();
        at(back).next = split;
        at(back).alt = exit;
        order(at(split), n.lazy, bodyStart, exit);
    }

    static void order(Inst& split, bool lazy, int body, int exit) {
        split.next = lazy ? exit : body;
        split.alt = lazy ? body : exit;
    }

    Program& program_;  // receives the code and loop registers
};

bool startsWithBol(const Node& root) {
    const Node* n = &root;
    while (n->kind == Node::Concat && !n->children.empty()) n = n->children[0].get();
    return n->kind == Node::Bol;
}

}  // namespace

int compileRegex(const char* regex, bool ignoreCase, Program& program) {
    program = Program();
    program.ignoreCase = ignoreCase;
    NodePtr root;
    int rc = Parser(regex, ignoreCase, program).parse(root);
    if (rc != 0) return rc;
    program.anchored = startsWithBol(*root);
    Emitter(program).emitProgram(*root);
    return 0;
}

}  // namespace RegexInternal
}  // namespace VekKernel
