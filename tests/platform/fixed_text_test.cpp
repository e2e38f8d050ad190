#include "platform/fixed_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(FixedText, StartsEmptyAndZeroFilled) {
  FixedText<7> t;
  EXPECT_TRUE(t.empty());
  for (size_t i = 0; i < t.kBytes; ++i) EXPECT_EQ(t.c_str()[i], '\0') << i;
}

TEST(FixedText, AssignAtCapacityFitsAndOneMoreEmptiesTheText) {
  FixedText<5> t;
  EXPECT_TRUE(t.assign("abcde"));
  EXPECT_STREQ(t.c_str(), "abcde");
  EXPECT_FALSE(t.assign("abcdef"));
  EXPECT_STREQ(t.c_str(), "");
}

TEST(FixedText, AppendThatDoesNotFitLeavesTheTextUnchanged) {
  FixedText<5> t;
  ASSERT_TRUE(t.assign("abc"));
  EXPECT_TRUE(t.append("de"));
  EXPECT_STREQ(t.c_str(), "abcde");
  EXPECT_FALSE(t.append("f"));
  EXPECT_STREQ(t.c_str(), "abcde");
  EXPECT_EQ(t.size(), 5u);
}

TEST(FixedText, FormatConversions) {
  CommandText t;
  EXPECT_TRUE(t.format("%s|%d|%u|%c|%%", "x", -2147483647 - 1, 4294967295u, 'q'));
  EXPECT_STREQ(t.c_str(), "x|-2147483648|4294967295|q|%");
}

TEST(FixedText, FormatMayReadTheTextItWrites) {
  PathText t;
  ASSERT_TRUE(t.assign("C:\\data"));
  ASSERT_TRUE(t.format("%s\\Qor\\", t.c_str()));
  ASSERT_TRUE(t.format("%sVesk\\", t.c_str()));
  EXPECT_STREQ(t.c_str(), "C:\\data\\Qor\\Vesk\\");
}

TEST(FixedText, FormatAtTheBoundary) {
  FixedText<10> t;
  EXPECT_TRUE(t.format("%s%d", "abcdefgh", 12));  // exactly 10
  EXPECT_STREQ(t.c_str(), "abcdefgh12");
  EXPECT_FALSE(t.format("%s%d", "abcdefgh", 123));  // 11: nothing cut, text emptied
  EXPECT_STREQ(t.c_str(), "");
}

TEST(FixedText, UnknownConversionIsRefused) {
  FixedText<20> t;
  EXPECT_FALSE(t.format("%x", 5));
  EXPECT_FALSE(t.format("ends with %"));
  EXPECT_TRUE(t.empty());
}

TEST(FixedText, NullTextArgumentIsShownNotFollowed) {
  FixedText<20> t;
  EXPECT_TRUE(t.format("[%s]", static_cast<const char*>(nullptr)));
  EXPECT_STREQ(t.c_str(), "[(null)]");
}

TEST(FindText, FirstExactOccurrenceOrNull) {
  const char text[] = "a/qn b/qn";
  EXPECT_EQ(FindText(text, "/qn"), text + 1);
  EXPECT_EQ(FindText(text, "b/qn"), text + 5) << "at the very end";
  EXPECT_EQ(FindText(text, "/QN"), nullptr) << "case-sensitive";
  EXPECT_EQ(FindText(text, "b/qnx"), nullptr) << "longer than what is left";
  EXPECT_EQ(FindText("", "x"), nullptr);
}

}  // namespace
