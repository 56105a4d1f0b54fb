#include "app/IntegerSyntax.h"

#include <gtest/gtest.h>

#include <optional>

namespace qm {
namespace {

std::optional<std::int32_t> Parse(std::u16string_view s) {
  std::int32_t v = 12345;
  if (!TryParseInt32(s, v)) return std::nullopt;
  return v;
}

TEST(IntegerSyntax, AcceptsDecimalWithSignBlanksAndLeadingZeros) {
  EXPECT_EQ(Parse(u"8080"), 8080);
  EXPECT_EQ(Parse(u"+8080"), 8080);
  EXPECT_EQ(Parse(u"08080"), 8080);
  EXPECT_EQ(Parse(u"   8080"), 8080);
  EXPECT_EQ(Parse(u"-1"), -1);
  EXPECT_EQ(Parse(u"0"), 0);
  EXPECT_EQ(Parse(u"2147483647"), 2147483647);
  EXPECT_EQ(Parse(u"-2147483648"), INT32_MIN);
  EXPECT_EQ(Parse(u"000000000000000000002147483647"), 2147483647);
}

TEST(IntegerSyntax, AcceptsEveryHexadecimalPrefix) {
  for (auto s : {u"$1F90", u"0x1F90", u"0X1F90", u"x1F90", u"X1f90", u"+$1F90"})
    EXPECT_EQ(Parse(s), 8080) << ::testing::PrintToString(std::u16string(s));
  EXPECT_EQ(Parse(u"$FFFFFFFF"), -1);
  EXPECT_EQ(Parse(u"$80000000"), INT32_MIN);
  EXPECT_EQ(Parse(u"-$10"), -16);
  EXPECT_EQ(Parse(u"-$80000000"), INT32_MIN);
  EXPECT_EQ(Parse(u"$0000000001"), 1);  // leading zeros are not significant
  EXPECT_EQ(Parse(u"0x0"), 0);
}

TEST(IntegerSyntax, RejectsEverythingElse) {
  for (auto s : {u"", u" ", u"   ", u"+", u"-", u"$", u"0x", u"x", u"8080 ", u"80 80", u"8080a",
                 u"80.80", u"2147483648", u"-2147483649", u"99999999999999999999", u"$100000000",
                 u"\t8080", u"++1", u"+-1", u"- 1", u"0x-1", u"$G", u"1e3", u"0b101"})
    EXPECT_EQ(Parse(s), std::nullopt) << ::testing::PrintToString(std::u16string(s));
  EXPECT_EQ(Parse(u"\uFF18\uFF10\uFF18\uFF10"), std::nullopt);  // full-width digits
  EXPECT_EQ(ParseInt32Or(u"abc", 20222), 20222);
  EXPECT_EQ(ParseInt32Or(u"0x1F90", 20222), 8080);
}

}  // namespace
}  // namespace qm
