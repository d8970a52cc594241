// The where parser: operators in words and symbols, quoting, AND before OR, parentheses multiplied
// out into the framework's flat filter, and the position of every kind of syntax error.
#include <gtest/gtest.h>

#include "api/where_parser.h"

namespace vorpane::api {
namespace {

std::string shape(const axf::Filter& f) {
    std::string out;
    for (const axf::Predicate& p : f) {
        out += p.column + " " + axf::compareOpName(p.op) + " [" + p.value + "]";
        if (&p != &f.back()) {
            out += p.join == axf::Join::And ? " AND " : " OR ";
        }
    }
    return out;
}

std::string parsed(std::string_view text) {
    WhereResult r = parseWhere(text);
    return r.ok ? shape(r.filter) : "error at " + std::to_string(r.position) + ": " + r.message;
}

TEST(WhereParser, OperatorsValuesAndJoins) {
    EXPECT_EQ(parsed(""), "");
    EXPECT_EQ(parsed("   "), "");
    EXPECT_EQ(parsed("A EQ 1"), "A EQ [1]");
    EXPECT_EQ(parsed("a=1 and b!=2 or c<>3"), "a EQ [1] AND b NE [2] OR c NE [3]");
    EXPECT_EQ(parsed("a>1 AND b>=2 AND c<3 AND d<=4 AND e==5"), "a GT [1] AND b GE [2] AND c LT [3] AND d LE [4] AND e EQ [5]");
    EXPECT_EQ(parsed("a gt 1 And b ge 2 oR c lt 3 AND d le 4 OR e ne 5"),
              "a GT [1] AND b GE [2] OR c LT [3] AND d LE [4] OR e NE [5]");
    EXPECT_EQ(parsed("Mount LIKE '/v*'"), "Mount LIKE [/v*]");
    EXPECT_EQ(parsed("m = 'disk full' AND n = \"say \"\"hi\"\"\" AND o = 'it''s'"),
              "m EQ [disk full] AND n EQ [say \"hi\"] AND o EQ [it's]");
    EXPECT_EQ(parsed("m = ''"), "m EQ []");
    EXPECT_EQ(parsed("m = -1.5"), "m EQ [-1.5]");
    // A name that begins like a keyword is a name.
    EXPECT_EQ(parsed("ORDERS = 1 AND ANDY = 2"), "ORDERS EQ [1] AND ANDY EQ [2]");
}

TEST(WhereParser, ParenthesesAreMultipliedOutAndBindAsWritten) {
    EXPECT_EQ(parsed("(a=1)"), "a EQ [1]");
    EXPECT_EQ(parsed("(a=1 OR b=2) AND c=3"), "a EQ [1] AND c EQ [3] OR b EQ [2] AND c EQ [3]");
    EXPECT_EQ(parsed("a=1 AND (b=2 OR c=3)"), "a EQ [1] AND b EQ [2] OR a EQ [1] AND c EQ [3]");
    EXPECT_EQ(parsed("(a=1 OR b=2) AND (c=3 OR d=4)"),
              "a EQ [1] AND c EQ [3] OR a EQ [1] AND d EQ [4] OR b EQ [2] AND c EQ [3] OR b EQ [2] AND d EQ [4]");
    EXPECT_EQ(parsed("((a=1))OR(b=2)"), "a EQ [1] OR b EQ [2]");
    EXPECT_EQ(parsed("a=(1)"), "error at 3: expected a value");
}

TEST(WhereParser, SyntaxErrorsNameTheirPosition) {
    EXPECT_EQ(parsed("a"), "error at 2: expected a comparison (EQ NE GT GE LT LE LIKE = != > >= < <=)");
    EXPECT_EQ(parsed("a ="), "error at 4: expected a value, found the end");
    EXPECT_EQ(parsed("= 1"), "error at 1: expected an attribute name");
    EXPECT_EQ(parsed("a = 1 AND"), "error at 10: expected an attribute name, found the end");
    // An OR needs a whole term after it.
    EXPECT_EQ(parsed("a = 1 OR"), "error at 9: expected an attribute name, found the end");
    EXPECT_EQ(parsed("a = 1 OR )"), "error at 10: expected an attribute name");
    EXPECT_EQ(parsed("a = 1 OR b"), "error at 11: expected a comparison (EQ NE GT GE LT LE LIKE = != > >= < <=)");
    EXPECT_EQ(parsed("a = 1 b = 2"), "error at 7: expected AND, OR or the end of the expression");
    EXPECT_EQ(parsed("(a = 1"), "error at 7: expected \")\"");
    EXPECT_EQ(parsed("a = 1)"), "error at 6: expected AND, OR or the end of the expression");
    EXPECT_EQ(parsed("a = 'open"), "error at 5: the quoted value is not closed");
    EXPECT_EQ(parsed("a ~ 1"), "error at 3: expected a comparison (EQ NE GT GE LT LE LIKE = != > >= < <=)");
    EXPECT_EQ(parsed("a LIKES 1"), "error at 3: expected a comparison (EQ NE GT GE LT LE LIKE = != > >= < <=)");

    // Nine factors of two alternatives would be 512 conjunctions of 9: refused at the AND that overflows.
    std::string big;
    for (int i = 0; i < 9; ++i) {
        big += (i > 0 ? " AND " : "") + std::string("(a=1 OR b=2)");
    }
    WhereResult r = parseWhere(big);
    ASSERT_FALSE(r.ok);
    EXPECT_NE(r.message.find("too many predicates"), std::string::npos);
    EXPECT_EQ(big.substr(r.position - 1, 3), "AND");
}

TEST(WhereParser, NestingIsBoundedAndPositionsCountCharacters) {
    const std::string deepest = std::string(kMaxWhereDepth, '(') + "a=1" + std::string(kMaxWhereDepth, ')');
    EXPECT_EQ(parsed(deepest), "a EQ [1]");
    // Far deeper than a worker's stack would take if each level recursed: refused at the first "(" too many.
    const std::string hostile = std::string(12000, '(') + "a=1" + std::string(12000, ')');
    EXPECT_EQ(parsed(hostile), "error at 65: parentheses nest deeper than 64");
    EXPECT_EQ(parsed("a=1 OR (" + deepest + ")"), "error at 72: parentheses nest deeper than 64");

    // "é" is two bytes and "€" three; the position counts each as one character.
    EXPECT_EQ(parsed("Name = 'é€' AND"), "error at 16: expected an attribute name, found the end");
    EXPECT_EQ(parsed("Name = é€ OR = 1"), "error at 14: expected an attribute name");
    EXPECT_EQ(parsed("Name = 'é€'"), "Name EQ [é€]");

    // Control characters other than blanks, tabs and line ends are refused where they stand.
    EXPECT_EQ(parsed(std::string("Name = 'a\0b'", 12)), "error at 10: a control character is not allowed");
    EXPECT_EQ(parsed("Name = '\x7f'"), "error at 9: a control character is not allowed");
    EXPECT_EQ(parsed("a = 1\tAND\r\nb = 2"), "a EQ [1] AND b EQ [2]");
}

}  // namespace
}  // namespace vorpane::api
