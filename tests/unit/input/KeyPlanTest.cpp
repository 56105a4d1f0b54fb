#include "input/KeyPlan.h"

#include <gtest/gtest.h>

#include <map>

namespace qm {
namespace {

using Layout = std::map<char16_t, TLayoutKey>;
using Keys = std::vector<TKeyEvent>;

std::optional<TLayoutKey> FromTable(char16_t c, const void* layout) {
  const Layout& table = *static_cast<const Layout*>(layout);
  const auto it = table.find(c);
  return it == table.end() ? std::nullopt : std::optional<TLayoutKey>(it->second);
}

// What VkKeyScanEx says on French AZERTY: the digits need Shift, "&" and "é"
// are the same keys bare, "@" is AltGr+0, "^" is a dead key; "ê" has no key.
const Layout kAzerty = {
    {u'a', {0x41, 0}}, {u'A', {0x41, 1}}, {u'H', {0x48, 1}}, {u'1', {0x31, 1}}, {u'&', {0x31, 0}},
    {u'2', {0x32, 1}}, {u'\u00e9', {0x32, 0}}, {u'@', {0x30, 6}}, {u'^', {0xDD, 0, true}},
    {u'k', {0x4B, 2}},  // a layout's Ctrl key: a shortcut, never typed
    {u'x', {0x58, 8}},  // a shift bit of the layout's own
};

Keys Flat(const std::vector<Keys>& plan) {
  Keys all;
  for (const Keys& k : plan) all.insert(all.end(), k.begin(), k.end());
  return all;
}

Keys Shifted(std::uint8_t vk) { return {{0x10, false}, {vk, false}, {vk, true}, {0x10, true}}; }
Keys Uni(char16_t u) { return {{0, false, u}, {0, true, u}}; }

TEST(KeyPlan, LayoutKeysCarryTheirShiftsSoADifferentLayoutStillTypesTheSameText) {
  const std::vector<Keys> plan = PlanKeys(u"HA112", &FromTable, &kAzerty, false);
  ASSERT_EQ(plan.size(), 5u);
  EXPECT_EQ(plan[0], Shifted(0x48));
  EXPECT_EQ(plan[1], Shifted(0x41));
  EXPECT_EQ(plan[2], Shifted(0x31));  // released before the same key goes down again
  EXPECT_EQ(plan[3], Shifted(0x31));
  EXPECT_EQ(plan[4], Shifted(0x32));
  EXPECT_EQ(Flat(PlanKeys(u"a&\u00e9", &FromTable, &kAzerty, false)),
            (Keys{{0x41, false}, {0x41, true}, {0x31, false}, {0x31, true}, {0x32, false}, {0x32, true}}));
  EXPECT_EQ(Flat(PlanKeys(u"@", &FromTable, &kAzerty, false)),
            (Keys{{0x11, false}, {0x12, false}, {0x30, false}, {0x30, true}, {0x12, true}, {0x11, true}}));
}

TEST(KeyPlan, WhatNoPlainKeyTypesGoesAsUnicodeEventsAndTabAsTheTabKey) {
  // A dead key, a character not on the layout, Ctrl or a layout bit needed,
  // CJK, a control character of GS1 barcodes, and a surrogate pair as one
  // character of two units.
  const std::vector<Keys> plan = PlanKeys(u"^\u00eakx\u6761\u001d\t\U0001D11E", &FromTable, &kAzerty, false);
  ASSERT_EQ(plan.size(), 8u);
  EXPECT_EQ(plan[0], Uni(u'^'));
  EXPECT_EQ(plan[1], Uni(u'\u00ea'));
  EXPECT_EQ(plan[2], Uni(u'k'));
  EXPECT_EQ(plan[3], Uni(u'x'));
  EXPECT_EQ(plan[4], Uni(u'\u6761'));
  EXPECT_EQ(plan[5], Uni(u'\u001d'));
  EXPECT_EQ(plan[6], (Keys{{0x09, false}, {0x09, true}}));
  Keys pair = Uni(0xD834);
  for (const TKeyEvent& k : Uni(0xDD1E)) pair.push_back(k);
  EXPECT_EQ(plan[7], pair);
  // A lone surrogate is one unit, never joined with what follows.
  EXPECT_EQ(PlanKeys(u"\xD834" u"a", &FromTable, &kAzerty, false).size(), 2u);
}

TEST(KeyPlan, AnOpenInputMethodGetsEveryCharacterAsUnicodeEvents) {
  EXPECT_EQ(Flat(PlanKeys(u"a1\t", &FromTable, &kAzerty, true)), (Keys{Uni(u'a')[0], Uni(u'a')[1], Uni(u'1')[0],
                                                                        Uni(u'1')[1], Uni(u'\t')[0], Uni(u'\t')[1]}));
}

TEST(KeyPlan, EndingsAndTheirNames) {
  EXPECT_EQ(EndingEvents(TEnding::kEnter), (Keys{{0x0D, false}, {0x0D, true}}));
  EXPECT_EQ(EndingEvents(TEnding::kTab), (Keys{{0x09, false}, {0x09, true}}));
  EXPECT_TRUE(EndingEvents(TEnding::kNone).empty());
  EXPECT_EQ(ParseEnding(u"TAB"), TEnding::kTab);
  EXPECT_EQ(ParseDeliveryWay(u"Keys"), TDeliveryWay::kKeys);
  EXPECT_EQ(ParseDeliveryWay(u"key"), std::nullopt);
  EXPECT_EQ(ParseEnding(u""), std::nullopt);
}

}  // namespace
}  // namespace qm
