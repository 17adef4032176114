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

// The first c in [from, last), or last.
const char* findOr(const char* from, const char* last, char c) {
    const void* found = std::memchr(from, c, static_cast<std::size_t>(last - from));
    return found != nullptr ? static_cast<const char*>(found) : last;
}

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
    if (buffer[start] != open && buffer[start] != close) {
        taken.assign(1, buffer[start++]);  // depth 0 after one character
        return true;
    }
    // The next bracket of each kind is found with memchr, which is much
    // faster than a byte loop over the long texts that pages protect.
    const char* data = buffer.data();
    const char* last = data + buffer.size();
    const char* at = data + start;
    const char* nextOpen = nullptr;   // next open bracket at or after at; null before the first search
    const char* nextClose = nullptr;
    long depth = 0;
    bool closed = false;
    while (at < last && !closed) {
        if (nextOpen == nullptr || nextOpen < at) nextOpen = findOr(at, last, open);
        if (nextClose == nullptr || nextClose < at) nextClose = findOr(at, last, close);
        const char* bracket = nextOpen < nextClose ? nextOpen : nextClose;
        if (bracket == last) {
            at = last;
            break;
        }
        depth += *bracket == open ? 1 : -1;
        at = bracket + 1;
        closed = depth == 0;
    }
    std::size_t end = static_cast<std::size_t>(at - data);
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
