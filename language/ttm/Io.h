// The scanner's input queue: the characters still to be read. Results of
// active calls are put in front of it and read next. The characters are the
// tail of one reused buffer: taking a character moves the start forward, and
// a text put in front is copied into the free room before the start, so
// neither allocates per character. The buffer grows (with room in front)
// only when a text does not fit, and a page that loops through active
// results reuses the same room again and again.
#pragma once
#include <string>

#include "VekTypes.h"

namespace VekLanguage {

class Io {
public:
    Io() = default;
    // A queue of text's bytes up to its first NUL.
    explicit Io(const std::string& text);

    bool empty() const { return start == buffer.size(); }
    u64 count() const { return buffer.size() - start; }
    // Removes and returns the first character; 0 when empty.
    char get();
    // Puts c in front; a 0 is ignored.
    void unget(char c);
    // Puts the bytes of text (up to its first NUL) in front, in their order.
    void pushFront(const char* text);
    void pushFront(const std::string& text);
    void pushFront(const char* text, std::size_t length);
    // The first character, 0 when empty.
    char peek() const { return empty() ? 0 : buffer[start]; }
    // Copies the first n characters into buffer (no NUL added); leaves the
    // buffer untouched when fewer than n are queued.
    void peekN(std::size_t n, char* buffer) const;
    // Moves the leading characters up to the next one the scanner treats
    // specially ("[", "#", ";", "]", tab, line feed, carriage return) to the
    // end of dest.
    void takeOrdinary(std::string& dest);
    // Gives back storage that a long text left behind once it has been read.
    void freeFreeNodes();
    // Removes and returns the bracketed text at the front, brackets
    // included, nesting counted; false (everything taken) when it never closes.
    bool takeBracketed(char open, char close, std::string& taken);

private:
    // Makes room for at least length characters in front of start.
    void makeRoom(std::size_t length);

    std::string buffer;     // free room, then the queued characters
    std::size_t start = 0;  // offset of the first queued character
};

// Reads a bracketed text whose opening bracket is the first character of
// input and returns its inside; throws TTMError when it never closes.
std::string get_ttm_protected_string(Io& input, char open, char close);

}  // namespace VekLanguage
