#include "app/DeliverySettings.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

using Lines = std::vector<std::u16string>;

TEST(DeliverySettings, NothingSetMeansTheWayOfOldAndTheLineSaysSo) {
  const TDeliveryReading r = ReadDeliveryConfig({});
  EXPECT_TRUE(r.Invalid.empty());
  EXPECT_EQ(r.Settings.Default.Way, TDeliveryWay::kAuto);
  EXPECT_EQ(r.Settings.Default.Ending, TEnding::kEnter);
  EXPECT_EQ(DeliveryLine(r.Settings), u"录入方式：默认 auto，结尾 enter，按键间隔 0 毫秒");
}

TEST(DeliverySettings, InvalidValuesAreNamedAndTheirDefaultsHold) {
  TDeliveryConfig c;
  c.Delivery = u" KEYS ";
  c.Ending = u"Tab";
  c.KeyDelay = u"1000";
  TDeliveryReading r = ReadDeliveryConfig(c);
  EXPECT_TRUE(r.Invalid.empty());
  EXPECT_EQ(DeliveryLine(r.Settings), u"录入方式：默认 keys，结尾 tab，按键间隔 1000 毫秒");
  for (const char16_t* delay : {u"1001", u"-1", u"5ms", u""}) {
    c = {};
    c.Delivery = u"type";
    c.Ending = u"crlf";
    c.KeyDelay = delay;
    r = ReadDeliveryConfig(c);
    EXPECT_EQ(r.Invalid, (Lines{u"Delivery=type", u"Ending=crlf", std::u16string(u"KeyDelay=") + delay}));
    EXPECT_EQ(DeliveryLine(r.Settings), u"录入方式：默认 auto，结尾 enter，按键间隔 0 毫秒");
  }
}

TEST(DeliverySettings, ProgramRulesMatchTheFileNameInAnyCaseAndTheFirstRuleHolds) {
  TDeliveryConfig c;
  c.Ending = u"none";
  c.AppLines = {u"chrome.exe=keys",  u"msedge.exe = Keys , TAB", u"Chrome.EXE=paste", u"notepad.exe",
                u"=keys",            u"a.exe=fly",               u"b.exe=keys,crlf",  u"КАССА.exe=paste"};
  const TDeliveryReading r = ReadDeliveryConfig(c);
  EXPECT_EQ(r.Invalid, (Lines{u"Chrome.EXE=paste", u"notepad.exe", u"=keys", u"a.exe=fly", u"b.exe=keys,crlf"}));
  EXPECT_EQ(DeliveryLine(r.Settings),
            u"录入方式：默认 auto，结尾 none，按键间隔 0 毫秒；chrome.exe：keys；msedge.exe：keys，结尾 tab；КАССА.exe：paste");
  bool ruled = false;
  const TDeliveryRule chrome = RuleFor(r.Settings, u"CHROME.exe", &ruled);
  EXPECT_TRUE(ruled);
  EXPECT_EQ(chrome.Way, TDeliveryWay::kKeys);
  EXPECT_EQ(chrome.Ending, TEnding::kNone);  // the default ending
  EXPECT_EQ(RuleFor(r.Settings, u"MSEDGE.EXE").Ending, TEnding::kTab);
  EXPECT_EQ(RuleFor(r.Settings, u"касса.EXE").Way, TDeliveryWay::kPaste);
  EXPECT_EQ(RuleFor(r.Settings, u"chrome.ex", &ruled).Way, TDeliveryWay::kAuto);
  EXPECT_FALSE(ruled);
}

}  // namespace
}  // namespace qm
