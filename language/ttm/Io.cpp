// The scanner's input queue and the reader of protected (bracketed) text.
#include "Io.h"

#include <cstring>

#include "TTMError.h"

namespace VekLanguage {

namespace {

// Longest part of an unclosed protected text quoted in the error message.
constexpr std::size_t MaxQuoted = 7700;

}  // namespace

Io::Io(const std::string& text) { pushFront(text.c_str()); }

char Io::get() { return empty() ? 0 : buffer[start++]; }

void Io::unget(char c) {
    if (c != 0) pushFront(&c, 1);
}

void Io::pushFront(const char* text) {
    if (text != nullptr) pushFront(text, std::strlen(text));
}

void Io::pushFront(const std::string& text) {
    std::size_t nul = text.find('\0');
    pushFront(text.data(), nul == std::string::npos ? text.size() : nul);
}

void Io::pushFront(const char* text, std::size_t length) {
    if (length == 0) return;
    if (length > start) makeRoom(length);
    start -= length;
    std::memcpy(&buffer[start], text, length);
}

void Io::makeRoom(std::size_t length) {
    std::size_t queued = count();
    // Room for the text and as much again as is queued, so that a series of
    // pushes costs amortised constant time per character.
    std::size_t room = length + queued + 64;
    std::string grown(room + queued, '\0');
    std::memcpy(&grown[room], buffer.data() + start, queued);
    buffer.swap(grown);
    start = room;
}

void Io::peekN(std::size_t n, char* out) const {
    if (count() < n) return;
    std::memcpy(out, buffer.data() + start, n);
}

void Io::freeFreeNodes() {
    // Only storage far beyond what is queued goes back.
    if (buffer.size() > 4 * count() + 65536) {
        buffer.erase(0, start);
        buffer.shrink_to_fit();
        start = 0;
    }
}

namespace {

bool isSpecial(char c) {
    switch (c) {
    case '[':
    case '#':
    case ';':
    case ']':
    case '\t':
    case '\n':
    case '\r':
        return true;
    default:
        return false;
    }
}

}  // namespace

void Io::takeOrdinary(std::string& dest) {
    std::size_t end = start;
    while (end < buffer.size() && !isSpecial(buffer[end])) ++end;
    dest.append(buffer, start, end - start);
    start = end;
}

bool Io::takeBracketed(char open, char close, std::string& taken) {
    taken.clear();
    if (empty()) return true;  // reads as a lone NUL: depth stays 0
    long depth = 0;
    bool closed = false;
    std::size_t end = start;
    while (end < buffer.size() && !closed) {
        char c = buffer[end++];
        if (c == open)
            ++depth;
        else if (c == close)
            --depth;
        closed = depth == 0;
    }
    taken.assign(buffer, start, end - start);
    start = end;
    return closed;
}

std::string get_ttm_protected_string(Io& input, char open, char close) {
    std::string taken;
    if (input.takeBracketed(open, close, taken)) {
        if (taken.size() < 2) return std::string();
        taken.pop_back();
        taken.erase(0, 1);
        return taken;
    }
    throw TTMError("get_ttm_protected_string: can't find matching end parenthesis -> " +
                   taken.substr(1, MaxQuoted));
}

}  // namespace VekLanguage
