// A small backtracking regular-expression matcher for the template word
// "RegEx": literals, ".", "^", "$", character sets with ranges and negation,
// backslash classes (\d \w \s \D \W \S) and escapes, groups, alternation and
// greedy or lazy quantifiers (* + ? *? +? ??).
#pragma once

namespace VekKernel {

// One capture slot: where a group's match starts in the text and its length
// in bytes. Slot k-1 belongs to the k-th opening parenthesis; it is written
// only when that group matched a non-empty text.
struct RegexCap {
    const char* ptr;
    int len;
};

// Matching flag: compare characters after tolower.
constexpr int IGNORE_CASE = 1;

// Results of regexMatch below zero.
constexpr int REGEX_NO_MATCH = -1;
constexpr int REGEX_UNEXPECTED_QUANTIFIER = -2;
constexpr int REGEX_UNBALANCED_BRACKETS = -3;
constexpr int REGEX_INTERNAL_ERROR = -4;  // also: a work or depth limit was hit
constexpr int REGEX_BAD_CHARSET = -5;
constexpr int REGEX_BAD_METACHARACTER = -6;
constexpr int REGEX_CAPS_TOO_SMALL = -7;
constexpr int REGEX_TOO_MANY_BRANCHES = -8;
constexpr int REGEX_TOO_MANY_BRACKETS = -9;

// Matches regex (read up to its NUL) against the first textLen bytes of
// text. Returns the offset just past the first match, or a code above.
// caps may be null with numCaps 0; the caller zeroes the slots.
int regexMatch(const char* regex, const char* text, int textLen, RegexCap* caps, int numCaps,
               int flags);

}  // namespace VekKernel
