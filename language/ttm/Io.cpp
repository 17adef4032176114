// The scanner's input queue and the reader of protected (bracketed) text.
#include "Io.h"

#include <algorithm>
#include <cstring>

#include "TTMError.h"

namespace VekLanguage {

namespace {

// Longest part of an unclosed protected text quoted in the error message.
constexpr std::size_t MaxQuoted = 7700;

}  // namespace

Io::Io(const std::string& text) { pushFront(text.c_str()); }

char Io::get() {
    if (reversed.empty()) return 0;
    char c = reversed.back();
    reversed.pop_back();
    return c;
}

void Io::unget(char c) {
    if (c != 0) reversed.push_back(c);
}

void Io::pushFront(const char* text) {
    if (text == nullptr) return;
    std::size_t length = std::strlen(text);
    reversed.insert(reversed.end(), std::make_reverse_iterator(text + length),
                    std::make_reverse_iterator(text));
}

void Io::pushFront(const std::string& text) { pushFront(text.c_str()); }

void Io::peekN(std::size_t n, char* buffer) const {
    if (reversed.size() < n) return;
    for (std::size_t i = 0; i < n; ++i) buffer[i] = reversed[reversed.size() - 1 - i];
}

void Io::freeFreeNodes() {
    // Keep a modest reserve; only storage far beyond what is queued goes back.
    if (reversed.capacity() > 4 * reversed.size() + 65536) reversed.shrink_to_fit();
}

bool Io::takeBracketed(char open, char close, std::string& taken) {
    taken.clear();
    if (reversed.empty()) return true;  // reads as a lone NUL: depth stays 0
    long depth = 0;
    bool closed = false;
    std::size_t i = reversed.size();
    while (i > 0 && !closed) {
        char c = reversed[--i];
        if (c == open)
            ++depth;
        else if (c == close)
            --depth;
        closed = depth == 0;
    }
    taken.assign(reversed.rbegin(), reversed.rend() - static_cast<std::ptrdiff_t>(i));
    reversed.resize(i);
    return closed;
}

std::string get_ttm_protected_string(Io& input, char open, char close) {
    std::string taken;
    if (input.takeBracketed(open, close, taken)) {
        if (taken.size() < 2) return std::string();
        return taken.substr(1, taken.size() - 2);
    }
    throw TTMError("get_ttm_protected_string: can't find matching end parenthesis -> " +
                   taken.substr(1, MaxQuoted));
}

}  // namespace VekLanguage
