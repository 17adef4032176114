// The scanner's input queue: the characters still to be read. Results of
// active calls are put in front of it and read next. The characters are
// kept in one reused array in reverse order (the next character last), so
// taking a character and putting a text in front are both cheap and no
// storage is allocated per character.
#pragma once
#include <string>
#include <vector>

#include "VekTypes.h"

namespace VekLanguage {

class Io {
public:
    Io() = default;
    // A queue of text's bytes up to its first NUL.
    explicit Io(const std::string& text);

    bool empty() const { return reversed.empty(); }
    u64 count() const { return reversed.size(); }
    // Removes and returns the first character; 0 when empty.
    char get();
    // Puts c in front; a 0 is ignored.
    void unget(char c);
    // Puts the bytes of text (up to its first NUL) in front, in their order.
    void pushFront(const char* text);
    void pushFront(const std::string& text);
    // The first character, 0 when empty.
    char peek() const { return reversed.empty() ? 0 : reversed.back(); }
    // Copies the first n characters into buffer (no NUL added); leaves the
    // buffer untouched when fewer than n are queued.
    void peekN(std::size_t n, char* buffer) const;
    // Gives back storage that a long text left behind once it has been read.
    void freeFreeNodes();
    // Removes and returns the bracketed text at the front, brackets
    // included, nesting counted; false (everything taken) when it never closes.
    bool takeBracketed(char open, char close, std::string& taken);

private:
    std::vector<char> reversed;  // queued characters, the first one last
};

// Reads a bracketed text whose opening bracket is the first character of
// input and returns its inside; throws TTMError when it never closes.
std::string get_ttm_protected_string(Io& input, char open, char close);

}  // namespace VekLanguage
