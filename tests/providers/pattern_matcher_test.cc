// The providers' pattern matcher: ECMAScript's choices of match and groups, the constructs it
// refuses, and texts far beyond what a recursive matcher survives.
#include "providers/pattern_matcher.h"

#include <gtest/gtest.h>

namespace vorpane::providers {
namespace {

// The groups of the leftmost match as texts ("-" for a group that took no part), or "no match".
std::string groupsOf(const std::string& pattern, std::string_view text) {
    PatternMatcher m;
    std::string reason;
    if (!PatternMatcher::compile(pattern, &m, &reason)) {
        return "refused: " + reason;
    }
    std::vector<PatternMatcher::Span> groups;
    const bool found = m.search(text, &groups);
    EXPECT_EQ(found, m.search(text)) << pattern << " on " << text;  // with and without groups alike
    if (!found) {
        return "no match";
    }
    std::string out;
    for (const PatternMatcher::Span& g : groups) {
        out += out.empty() ? "" : "|";
        out += g.matched() ? std::string(text.substr(g.begin, g.end - g.begin)) : "-";
    }
    return out;
}

TEST(PatternMatcher, FindsTheLeftmostMatchWithEcmaScriptsGroups) {
    struct Case {
        const char* pattern;
        const char* text;
        const char* groups;
    };
    for (const Case& c : std::vector<Case>{
             {"(a|ab)(c|bcd)(d*)", "abcd", "a|bcd|"},     // the first alternative that leads to a match
             {"x(.*)y", "x1y2y", "1y2"},                   // greedy
             {"x(.*?)y", "x1y2y", "1"},                    // lazy
             {"(a+?)(a*)", "aaa", "a|aa"},
             {"(a{2,3})(a*)", "aaaa", "aaa|a"},
             {"(a{2,}?)(a*)", "aaaa", "aa|aa"},
             {"(a)|b", "b", "-"},                          // a group outside the match took no part
             {"(?:ab|a)(b?)", "ab", ""},
             {"(?<Seq>\\d+) (?<Text>\\S+)", "at 42 done", "42|done"},
             {"^(\\w+) (\\d+)$", "GET 42", "GET|42"},
             {"^(\\w+) (\\d+)$", "GET 42 x", "no match"},
             {"(b)$", "ab\n", "no match"},                 // "$" is the end of the text only
             {"(.)", "\n\rz", "z"},                        // "." takes no line end
             {"([\\s\\S])", "\n", "\n"},
             {"\\bfoo\\b", "a foo.", ""},
             {"\\bfoo\\b", "afoo", "no match"},
             {"(\\Bo)", "foo", "o"},
             {"([^\\]]+)\\]", "[10/Oct] x", "[10/Oct"},
             {"(a[^]b)", "a\nb", "a\nb"},                  // "[^]" takes every byte, "[]" none
             {"a[]b", "ab", "no match"},
             {"([a-c-]+)", "x-ab-y", "-ab-"},
             {"([\\d.]+)", "v1.25;", "1.25"},
             {"(\\x41\\u0042\\t\\cJ)", "AB\t\n", "AB\t\n"},
             {"(a?){3}b", "aab", ""},
             {"(|a)+", "a", ""},
             {"x*", "", ""},
         }) {
        EXPECT_EQ(groupsOf(c.pattern, c.text), c.groups) << c.pattern << " on \"" << c.text << "\"";
    }
}

TEST(PatternMatcher, RefusesWhatItDoesNotSupportAndPatternsBeyondItsBounds) {
    struct Case {
        std::string pattern;
        const char* reason;
    };
    const std::string nested = std::string(PatternMatcher::kMaxNesting + 1, '(') + "a" +
                               std::string(PatternMatcher::kMaxNesting + 1, ')');
    for (const Case& c : std::vector<Case>{
             {"(a", "'(' without ')' at character 3"},
             {"a)", "unmatched ')' at character 2"},
             {"*a", "nothing to repeat at character 1"},
             {"a**", "nothing to repeat at character 3"},
             {"^*", "nothing to repeat at character 2"},
             {"[a", "'[' without ']'"},
             {"a{3,2}", "m below n"},
             {"a{x}", "is not a repetition"},
             {"(a)\\1", "back-references are not supported"},
             {"a(?=b)", "look-ahead and look-behind are not supported"},
             {"(?<=a)b", "look-ahead and look-behind are not supported"},
             {"\\q", "unknown escape \\q"},
             {"\\u0100", "byte by byte"},
             {"(?<n>a)(?<n>b)", "group name n used twice"},
             {nested, "nested deeper than 32"},
             {"(a{100}){100}", "more than 2000 steps"},
             {std::string(PatternMatcher::kMaxPattern + 1, 'a'), "more than 1000"},
         }) {
        PatternMatcher m;
        std::string reason;
        EXPECT_FALSE(PatternMatcher::compile(c.pattern, &m, &reason)) << c.pattern;
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.pattern << ": " << reason;
    }
    // At the bounds a pattern is taken, and its program is what the bound counts.
    PatternMatcher m;
    std::string reason;
    ASSERT_TRUE(PatternMatcher::compile(std::string(PatternMatcher::kMaxNesting, '(') + "a" +
                                            std::string(PatternMatcher::kMaxNesting, ')'),
                                        &m, &reason))
        << reason;
    ASSERT_TRUE(PatternMatcher::compile("(?:a{10}b?){99}", &m, &reason)) << reason;
    EXPECT_EQ(m.programSize(), 99u * 12 + 3);
}

// A recursive matcher goes one frame deeper per character: texts of 4 to 20 KiB ran it out of stack.
TEST(PatternMatcher, LongTextsNeedNoMoreStackThanShortOnes) {
    const std::string line(64 * 1024, 'x');
    EXPECT_EQ(groupsOf("^(.*)$", line).size(), line.size());
    const std::string_view part = std::string_view(line).substr(0, 16 * 1024);
    EXPECT_EQ(groupsOf("(x|xx)*y", part), "no match");
    EXPECT_EQ(groupsOf("((((((((((.))))))))))*(y?)$", part), "x|x|x|x|x|x|x|x|x|x|");
    EXPECT_EQ(groupsOf("(x+x+)+y", part), "no match");  // no exponential retries either
}

}  // namespace
}  // namespace vorpane::providers
