#include "platform/TextRules.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TEST(TextRules, ApplicationTitleIsTheFileNameWithTheRestLowerCased) {
  EXPECT_EQ(ApplicationTitleFromPath(u"C:\\Program Files\\Quillmere.exe"), u"Quillmere");
  EXPECT_EQ(ApplicationTitleFromPath(u"Z:\\tmp\\QUILLMERE.EXE"), u"Quillmere");
  EXPECT_EQ(ApplicationTitleFromPath(u"C:\\a.b\\scan.tool.exe"), u"scan.tool");  // the first character is kept as it is
  EXPECT_EQ(ApplicationTitleFromPath(u"C:\\dir\\noext"), u"noext");
  EXPECT_EQ(ApplicationTitleFromPath(u"qM.exe"), u"qm");
}

TEST(TextRules, FullStopFollowsALastCharacterAboveTheDot) {
  EXPECT_EQ(WithFullStop(u"Unable to write to C:\\x\\config.ini"), u"Unable to write to C:\\x\\config.ini.");
  EXPECT_EQ(WithFullStop(u"Done."), u"Done.");
  EXPECT_EQ(WithFullStop(u"Really?"), u"Really?.");  // '?' sorts after '.'
  EXPECT_EQ(WithFullStop(u"Stop!"), u"Stop!");       // '!' sorts before '.'
  EXPECT_EQ(WithFullStop(u"a-"), u"a-");
  EXPECT_EQ(WithFullStop(u"失败"), u"失败.");
  EXPECT_EQ(WithFullStop(u""), u"");
}

}  // namespace
}  // namespace qm
