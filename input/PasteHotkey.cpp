#include "input/PasteHotkey.h"

#include <string>

namespace qm {
namespace {

constexpr std::uint8_t kVkControl = 0x11, kVkShift = 0x10, kVkMenu = 0x12;
constexpr std::uint8_t kVkInsert = 0x2D, kVkReturn = 0x0D, kVkV = 0x56;

bool SameAscii(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char16_t x = a[i], y = b[i];
    if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
    if (y >= u'A' && y <= u'Z') y = static_cast<char16_t>(y + 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace

std::optional<TKeyCombo> ParsePasteHotkey(std::u16string_view text, CharKeyFn charKey) {
  std::u16string s;
  for (char16_t c : text)
    if (c != u' ') s.push_back(c);
  if (s.empty()) return std::nullopt;

  TKeyCombo combo;
  std::u16string_view rest(s);
  for (std::size_t plus; (plus = rest.find(u'+')) != std::u16string_view::npos;) {
    std::u16string_view part = rest.substr(0, plus);
    if (SameAscii(part, u"Ctrl") || SameAscii(part, u"Control"))
      combo.Ctrl = true;
    else if (SameAscii(part, u"Shift"))
      combo.Shift = true;
    else if (SameAscii(part, u"Alt"))
      combo.Alt = true;
    rest.remove_prefix(plus + 1);
  }

  if (rest.size() == 1)
    combo.Key = rest[0] == u'V' ? kVkV : charKey(rest[0]);
  else if (SameAscii(rest, u"Insert"))
    combo.Key = kVkInsert;
  else if (SameAscii(rest, u"Return") || SameAscii(rest, u"Enter"))
    combo.Key = kVkReturn;
  else
    combo.Key = kVkV;
  return combo;
}

std::vector<TKeyEvent> KeyComboEvents(const TKeyCombo& combo) {
  std::vector<std::uint8_t> mods;
  if (combo.Ctrl) mods.push_back(kVkControl);
  if (combo.Shift) mods.push_back(kVkShift);
  if (combo.Alt) mods.push_back(kVkMenu);
  std::vector<TKeyEvent> events;
  for (std::uint8_t m : mods) events.push_back({m, false});
  events.push_back({combo.Key, false});
  events.push_back({combo.Key, true});
  for (auto it = mods.rbegin(); it != mods.rend(); ++it) events.push_back({*it, true});
  return events;
}

}  // namespace qm
