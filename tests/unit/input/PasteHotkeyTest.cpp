#include "input/PasteHotkey.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

// A keyboard layout for the parser: letters type their upper-case key, a
// few others have keys of their own, the rest has none.
std::uint8_t TestLayout(char16_t c) {
  if (c >= u'a' && c <= u'z') return static_cast<std::uint8_t>(c - u'a' + 'A');
  if (c >= u'A' && c <= u'Z') return static_cast<std::uint8_t>(c);
  if (c == u'1') return 0x31;
  return 0xFF;
}

std::vector<TKeyEvent> Events(std::u16string_view text) {
  std::optional<TKeyCombo> combo = ParsePasteHotkey(text, &TestLayout);
  return combo ? KeyComboEvents(*combo) : std::vector<TKeyEvent>{};
}

constexpr std::uint8_t kCtrl = 0x11, kShift = 0x10, kAlt = 0x12;

TEST(PasteHotkey, DefaultAndItsSpellingsPressCtrlV) {
  const std::vector<TKeyEvent> ctrlV{{kCtrl, false}, {0x56, false}, {0x56, true}, {kCtrl, true}};
  EXPECT_EQ(Events(u"Ctrl+V"), ctrlV);
  EXPECT_EQ(Events(u"ctrl+v"), ctrlV);  // lower-case v reaches the V key through the layout
  EXPECT_EQ(Events(u"CONTROL + V"), ctrlV);
  EXPECT_EQ(Events(u"Ctrl+Ctrl+V"), ctrlV);  // a modifier twice is one modifier
}

TEST(PasteHotkey, ShiftInsertWithSpacesAroundThePlus) {
  const std::vector<TKeyEvent> expected{{kShift, false}, {0x2D, false}, {0x2D, true}, {kShift, true}};
  EXPECT_EQ(Events(u"Shift + Insert"), expected);
  EXPECT_EQ(Events(u" s h i f t+iNsErT "), expected);
}

TEST(PasteHotkey, EmptyOrOnlySpacesGivesNoCombination) {
  EXPECT_FALSE(ParsePasteHotkey(u"", &TestLayout).has_value());
  EXPECT_FALSE(ParsePasteHotkey(u"    ", &TestLayout).has_value());
}

TEST(PasteHotkey, ModifiersAreReleasedInReverseOrderWhateverTheirSpelling) {
  const std::vector<TKeyEvent> expected{{kCtrl, false}, {kShift, false}, {kAlt, false}, {0x31, false},
                                        {0x31, true},   {kAlt, true},    {kShift, true}, {kCtrl, true}};
  EXPECT_EQ(Events(u"Alt+Shift+Control+1"), expected);
}

TEST(PasteHotkey, KeyNames) {
  EXPECT_EQ(ParsePasteHotkey(u"Enter", &TestLayout)->Key, 0x0D);
  EXPECT_EQ(ParsePasteHotkey(u"ctrl+RETURN", &TestLayout)->Key, 0x0D);
  EXPECT_EQ(ParsePasteHotkey(u"Shift+Ins", &TestLayout)->Key, 0x56);  // unknown names stand for V
  EXPECT_EQ(ParsePasteHotkey(u"Ctrl+x", &TestLayout)->Key, 'X');
  EXPECT_EQ(ParsePasteHotkey(u"Ctrl+\u00E9", &TestLayout)->Key, 0xFF);  // no key types it
  EXPECT_EQ(ParsePasteHotkey(u"Ctrl+\U0001F600", &TestLayout)->Key, 0x56);  // two units: a name, not a character
}

TEST(PasteHotkey, EmptyPartsCountAsParts) {
  // "Ctrl+" ends in an empty key name, which stands for V.
  std::optional<TKeyCombo> trailing = ParsePasteHotkey(u"Ctrl+", &TestLayout);
  ASSERT_TRUE(trailing);
  EXPECT_TRUE(trailing->Ctrl);
  EXPECT_EQ(trailing->Key, 0x56);
  // "+" alone: one empty modifier (ignored) and an empty key.
  std::optional<TKeyCombo> plus = ParsePasteHotkey(u"+", &TestLayout);
  ASSERT_TRUE(plus);
  EXPECT_FALSE(plus->Ctrl || plus->Shift || plus->Alt);
  EXPECT_EQ(plus->Key, 0x56);
  // Unknown modifiers are ignored; a key name in a modifier's place is too.
  std::optional<TKeyCombo> odd = ParsePasteHotkey(u"Win+Insert+Return", &TestLayout);
  ASSERT_TRUE(odd);
  EXPECT_FALSE(odd->Ctrl || odd->Shift || odd->Alt);
  EXPECT_EQ(odd->Key, 0x0D);
}

TEST(PasteHotkey, ASingleCapitalVNeedsNoLayout) {
  // A layout with no V key at all: "V" still gives 0x56, "v" does not.
  auto noKeys = [](char16_t) -> std::uint8_t { return 0xFF; };
  EXPECT_EQ(ParsePasteHotkey(u"Ctrl+V", noKeys)->Key, 0x56);
  EXPECT_EQ(ParsePasteHotkey(u"Ctrl+v", noKeys)->Key, 0xFF);
}

}  // namespace
}  // namespace qm
