// The call stack elements of the template scanner. An Expression collects the
// argument being read; a Function also keeps its completed arguments (the
// word's name first). Root sits at the bottom of the stack, Active is "#[",
// Neutral is "##[": the type decides where a completed call's result goes.
#pragma once
#include <string>
#include <vector>

namespace VekLanguage {

// A call's completed arguments: index 0 is the word's name.
using ArgList = std::vector<std::string>;

class Expression {
public:
    virtual ~Expression() = default;
    // Appends c to the argument being collected; false.
    virtual bool addChar(char c);
    // Bytes this element holds: what runaway-page limits measure. Not
    // virtual: the scanner asks after every step.
    std::size_t heldBytes() const { return text.size() + argBytes; }

    std::string text;          // the argument being collected
    std::size_t argBytes = 0;  // bytes of a Function's completed arguments, as heldBytes counts them
};

class Function : public Expression {
public:
    enum class Kind { Root, Neutral, Active };

    explicit Function(Kind kind) : kind(kind) {}
    // ";" and "]" complete the argument; true when "]" completes the call.
    bool addChar(char c) override;
    // Number of entries in args (name included). heldBytes counts the
    // argument being collected and the completed ones, each of those with
    // the size of its string object so that a pile of empty arguments
    // counts too.
    std::size_t count() const { return args.size(); }

    const Kind kind;        // where the result goes
    ArgList args;           // completed arguments in order, the name first
    std::string lastArg;    // the argument completed last (set when "]" completes the call)
};

class Root : public Function {
public:
    Root() : Function(Kind::Root) {}
};

class Neutral : public Function {
public:
    Neutral() : Function(Kind::Neutral) {}
};

class Active : public Function {
public:
    Active() : Function(Kind::Active) {}
};

}  // namespace VekLanguage
