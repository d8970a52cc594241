#include "common/fixed_text.h"

#include <gtest/gtest.h>

#include <string>

#include "common/result.h"

namespace {

TEST(FixedText, CutsAtItsWidthAndSaysSo) {
    vorpane::FixedText<5> t;
    EXPECT_TRUE(t.empty());
    EXPECT_TRUE(t.assign("abc"));
    EXPECT_EQ(t.view(), "abc");
    EXPECT_FALSE(t.assign("abcdefgh"));
    EXPECT_EQ(t.view(), "abcde");
    EXPECT_EQ(t.size(), 5u);
    EXPECT_EQ(t.c_str()[5], '\0');
    EXPECT_TRUE(t.assign(static_cast<const char*>(nullptr)));
    EXPECT_TRUE(t.empty());
}

TEST(FixedText, FieldCopiesStopAtTheFirstNul) {
    vorpane::FixedText<8> t;
    // Held in a string: g++ 12 at -O3 cannot see that the copy stops at the NUL inside a 6-byte array.
    const std::string field("ab\0cde", 6);
    EXPECT_TRUE(t.assignField(field.data(), field.size()));
    EXPECT_EQ(t.view(), "ab");
    const char unterminated[10] = {'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_FALSE(t.assignField(unterminated, sizeof unterminated));
    EXPECT_EQ(t.view(), "01234567");
}

TEST(FixedText, InPlaceEditsResyncTheLength) {
    vorpane::FixedText<10> t("hello");
    t.data()[2] = '\0';
    t.resync();
    EXPECT_EQ(t.view(), "he");
    EXPECT_TRUE(t == "he");
    EXPECT_TRUE(t == vorpane::FixedText<3>("he"));
}

TEST(StickyError, KeepsTheFirstError) {
    vorpane::StickyError e;
    EXPECT_FALSE(e);
    EXPECT_FALSE(e.set(0));
    EXPECT_TRUE(e.set(3));
    EXPECT_FALSE(e.set(1));
    EXPECT_EQ(e.code(), 3);
    e.clear();
    EXPECT_FALSE(e);
}

}  // namespace
