// Tests of the regular-expression matcher: results, captures, flags, every
// error code, and the limits that keep hostile input from running away.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "VekRegex.h"

using namespace VekKernel;

namespace {

int match(const std::string& regex, const std::string& text, int flags = 0) {
    return regexMatch(regex.c_str(), text.data(), static_cast<int>(text.size()), nullptr, 0, flags);
}

// Matches with `slots` zeroed capture slots and returns the result; the
// captured texts go to `captured` ("" for a slot left unwritten).
int matchCaps(const std::string& regex, const std::string& text, int slots,
              std::vector<std::string>& captured, int flags = 0) {
    std::vector<RegexCap> caps(static_cast<std::size_t>(slots), RegexCap{nullptr, 0});
    int rc = regexMatch(regex.c_str(), text.data(), static_cast<int>(text.size()), caps.data(), slots, flags);
    captured.clear();
    for (const RegexCap& cap : caps) {
        captured.push_back(cap.ptr == nullptr ? std::string() : std::string(cap.ptr, static_cast<std::size_t>(cap.len)));
    }
    return rc;
}

std::string repeated(const std::string& piece, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += piece;
    return out;
}

}  // namespace

// Results of whole matches: the offset past the first match, or an error
// code for a malformed expression (anchors, sets and classes, escapes,
// greedy and lazy quantifiers).
TEST(Regex, ResultsAndErrorCodes) {
    struct Case {
        const char* regex;
        const char* text;
        int expected;
    } cases[] = {
        {"b+", "abbc", 3},
        {"x", "abbc", REGEX_NO_MATCH},
        {"", "abc", 0},
        {"c", "abc", 3},
        {"a.c", "xxabcabc", 5},
        {"a", "", REGEX_NO_MATCH},
        {"x*", "", 0},
        {"^b", "ab", REGEX_NO_MATCH},
        {"^a", "ab", 1},
        {"a.c$", "abcabc", 6},
        {"b$", "ab\n", REGEX_NO_MATCH},
        {"^$", "", 0},
        {"^x|b", "ab", 2},  // the anchor belongs to one alternative only
        {"[a-c]+", "xxbcay", 5},
        {"[^a-c]+", "abxyz", 5},
        {"[-x]+", "a-x-", 4},
        {"[a\\]]+", "xa]a", 4},
        {"[\\d_]+", "ab1_2c", 5},
        {"\\d+", "ab123c", 5},
        {"\\w+", "  ab_9 ", 6},
        {"\\s+", "ab \t\r\nc", 6},
        {"\\D\\W\\S", "1ab ", REGEX_NO_MATCH},
        {"\\D\\W\\S", "1a.b", 4},
        {"\\x41\\t", "zA\t", 3},
        {"\\.", "ab.c", 3},
        {"\\(\\)\\[\\]\\*\\+\\?\\|\\^\\$\\\\", "()[]*+?|^$\\", 11},
        {"a{2}", "a{2}", 4},  // braces are plain bytes
        {"<.+>", "<a><b>x", 6},
        {"<.+?>", "<a><b>x", 3},
        {"a*?b", "aaab", 4},
        {"ab??", "abb", 1},
        {"ab?", "abb", 2},
        {"(ab)+?", "ababab", 2},
        {"(ab)+", "ababab", 6},
        {"(ab)*?c", "ababc", 5},
        {"*a", "a", REGEX_UNEXPECTED_QUANTIFIER},
        {"a**", "a", REGEX_UNEXPECTED_QUANTIFIER},
        {"a*??", "a", REGEX_UNEXPECTED_QUANTIFIER},
        {"(+a)", "a", REGEX_UNEXPECTED_QUANTIFIER},
        {"a|?", "a", REGEX_UNEXPECTED_QUANTIFIER},
        {"^*", "a", REGEX_UNEXPECTED_QUANTIFIER},
        {"(a", "a", REGEX_UNBALANCED_BRACKETS},
        {"a)", "a", REGEX_UNBALANCED_BRACKETS},
        {"((a)", "a", REGEX_UNBALANCED_BRACKETS},
        {"[abc", "a", REGEX_BAD_CHARSET},
        {"[]", "a", REGEX_BAD_CHARSET},
        {"[z-a]", "a", REGEX_BAD_CHARSET},
        {"[a-\\d]", "a", REGEX_BAD_CHARSET},
        {"\\q", "q", REGEX_BAD_METACHARACTER},
        {"a\\", "a", REGEX_BAD_METACHARACTER},
        {"\\xZ1", "a", REGEX_BAD_METACHARACTER},
        {"[\\q]", "q", REGEX_BAD_METACHARACTER},
    };
    for (const Case& c : cases) EXPECT_EQ(match(c.regex, c.text), c.expected) << c.regex << " on " << c.text;
}

// Captures: only groups that took part are written (extra slots, groups of
// an alternative not taken or of a path that failed later stay unwritten);
// a repeated group reports its last iteration, also when its body can
// match empty.
TEST(Regex, CapturesOfGroupsAlternativesAndLoops) {
    struct Case {
        const char *regex, *text;
        int expected;
        std::vector<std::string> captured;
    } cases[] = {
        {"(a)(b)", "ab", 2, {"a", "b"}},
        {"x(a*)y", "xy", 2, {""}},
        {"(b)", "abc", 2, {"b", "", ""}},
        {"((a)(b(c)))", "zabc", 4, {"abc", "a", "bc", "c"}},
        {"(x)|(y)", "ay", 2, {"", "y"}},
        {"a(b|cd)e", "acde", 4, {"cd"}},
        {"(a|b)*c", "ababc", 5, {"b"}},
        {"(a)x|(a)y", "ay", 2, {"", "a"}},
        {"^(\\w+)\\s+(\\d+)$", "foo  123", 8, {"foo", "123"}},
        {"(a*)*b", "aaab", 4, {"aaa"}},
        {"(a*)+b", "b", 1, {""}},
        {"(a|)+b", "aab", 3, {"a"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> got;
        EXPECT_EQ(matchCaps(c.regex, c.text, static_cast<int>(c.captured.size()), got), c.expected) << c.regex;
        EXPECT_EQ(got, c.captured) << c.regex;
    }
    EXPECT_EQ(match("(a*)*$", ""), 0);
    EXPECT_EQ(match("(x?)*?y", "xxy"), 3);
}

TEST(Regex, IgnoreCaseFoldsLiteralsAndSets) {
    EXPECT_EQ(match("B", "abc", IGNORE_CASE), 2);
    EXPECT_EQ(match("B", "abc", 0), REGEX_NO_MATCH);
    EXPECT_EQ(match("[A-C]+", "xxbCay", IGNORE_CASE), 5);
    EXPECT_EQ(match("[^a]", "A", IGNORE_CASE), REGEX_NO_MATCH);
    EXPECT_EQ(match("hello", "say HeLLo", IGNORE_CASE), 9);
    std::vector<std::string> got;
    EXPECT_EQ(matchCaps("(X+)", "axXb", 1, got, IGNORE_CASE), 3);
    EXPECT_EQ(got[0], "xX");
}

TEST(Regex, TextIsTakenByLengthNotByNul) {
    std::string text("a\0b", 3);
    EXPECT_EQ(match("b", text), 3);
    EXPECT_EQ(match("a.b", text), 3);
    EXPECT_EQ(regexMatch("b", "abc", 1, nullptr, 0, 0), REGEX_NO_MATCH);
}

TEST(Regex, TooFewCaptureSlotsMatchesNothing) {
    RegexCap caps[1] = {{nullptr, 0}};
    EXPECT_EQ(regexMatch("(a)(b)", "ab", 2, caps, 1, 0), REGEX_CAPS_TOO_SMALL);
    EXPECT_EQ(caps[0].ptr, nullptr);
    EXPECT_EQ(regexMatch("(a)(b)", "ab", 2, nullptr, 0, 0), 2);
}

TEST(Regex, BranchAndBracketLimits) {
    EXPECT_EQ(match("a" + repeated("|a", 99), "a"), 1);
    EXPECT_EQ(match("a" + repeated("|a", 100), "a"), REGEX_TOO_MANY_BRANCHES);

    std::string nested99 = repeated("(", 99) + "a" + repeated(")", 99);
    std::vector<std::string> got;
    EXPECT_EQ(matchCaps(nested99, "a", 99, got), 1);
    EXPECT_EQ(got[98], "a");
    EXPECT_EQ(match(repeated("(", 100) + "a" + repeated(")", 100), "a"), REGEX_TOO_MANY_BRACKETS);
    EXPECT_EQ(match(repeated("(a)", 100), "a"), REGEX_TOO_MANY_BRACKETS);
}

TEST(Regex, HostileInputEndsWithInternalErrorInsteadOfRunningAway) {
    // Exponential backtracking: stopped by the step limit.
    EXPECT_EQ(match("((a+)+)+b", std::string(60, 'a')), REGEX_INTERNAL_ERROR);
    // A group loop over a long text needs undo entries per iteration:
    // stopped by the stack limit, not by running out of memory.
    EXPECT_EQ(match("(a)*b", std::string(1024 * 1024, 'a')), REGEX_INTERNAL_ERROR);
}

TEST(Regex, ALeadingUnboundedRunIsNotRetriedFromInsideItself) {
    // Each of these would retry the whole run from every start inside it.
    std::string letters(200000, 'a');
    EXPECT_EQ(match(".*x", letters), REGEX_NO_MATCH);
    EXPECT_EQ(match(".+x", letters), REGEX_NO_MATCH);
    EXPECT_EQ(match(".*?x", letters), REGEX_NO_MATCH);
    EXPECT_EQ(match("[a-z]+@", letters), REGEX_NO_MATCH);
    EXPECT_EQ(match("\\w*?@", letters + " " + letters), REGEX_NO_MATCH);
    EXPECT_EQ(match(".*x", letters + "xa"), static_cast<int>(letters.size()) + 1);
    EXPECT_EQ(match(".*?x", letters + "xax"), static_cast<int>(letters.size()) + 1);
    EXPECT_EQ(match("[a-z]+@", letters + " b@"), static_cast<int>(letters.size()) + 3);

    // The search goes on after the run, including a start right at its end.
    EXPECT_EQ(match("[ab]+c", "aab aabc"), 8);
    EXPECT_EQ(match("[0-9]+x", "1y2x"), 4);
    EXPECT_EQ(match("a*b", "cab"), 3);
    EXPECT_EQ(match("a*", "bbb"), 0);
    EXPECT_EQ(match(".+x", "x"), REGEX_NO_MATCH);
    EXPECT_EQ(match("[A-Z]+1", "abc1", IGNORE_CASE), 4);
    // A bounded run ("?") leaves every start to be tried.
    EXPECT_EQ(match(".?b", "aab"), 3);
    std::vector<std::string> got;
    EXPECT_EQ(matchCaps(".*(b+)", "abbcb", 1, got), 5);
    EXPECT_EQ(got[0], "b");
}

TEST(Regex, LongTextsAndPatternsWorkWithinTheLimits) {
    std::string text(1 << 20, 'a');
    text += "xyz";
    EXPECT_EQ(match(".*xyz", text), static_cast<int>(text.size()));
    EXPECT_EQ(match("^a+x", text), static_cast<int>(text.size()) - 2);
    EXPECT_EQ(match("xyz$", text), static_cast<int>(text.size()));
    std::string longPattern(100000, 'a');
    EXPECT_EQ(match(longPattern, text), 100000);
}
