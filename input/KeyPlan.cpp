#include "input/KeyPlan.h"

namespace qm {
namespace {

constexpr std::uint8_t kVkShift = 0x10, kVkControl = 0x11, kVkMenu = 0x12, kVkTab = 0x09, kVkReturn = 0x0D;
constexpr std::uint8_t kShift = 1, kCtrl = 2, kAlt = 4;

char16_t FoldAscii(char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; }

bool SameWord(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
  return true;
}

void Unicode(std::vector<TKeyEvent>& out, char16_t unit) {
  out.push_back({0, false, unit});
  out.push_back({0, true, unit});
}

// Ctrl alone or Alt alone would make a shortcut of the key, and the layout's
// own shift bits (kana, hankaku) cannot be typed.
bool Typeable(const TLayoutKey& k) {
  const std::uint8_t s = k.Shifts;
  return !k.Dead && k.Vk != 0 && (s & ~(kShift | kCtrl | kAlt)) == 0 &&
         ((s & (kCtrl | kAlt)) == 0 || (s & (kCtrl | kAlt)) == (kCtrl | kAlt));
}

void LayoutKey(std::vector<TKeyEvent>& out, const TLayoutKey& k) {
  std::vector<std::uint8_t> mods;
  if (k.Shifts & kCtrl) mods.push_back(kVkControl);
  if (k.Shifts & kAlt) mods.push_back(kVkMenu);
  if (k.Shifts & kShift) mods.push_back(kVkShift);
  for (std::uint8_t m : mods) out.push_back({m, false});
  out.push_back({k.Vk, false});
  out.push_back({k.Vk, true});
  for (auto m = mods.rbegin(); m != mods.rend(); ++m) out.push_back({*m, true});
}

}  // namespace

std::vector<TKeyEvent> EndingEvents(TEnding ending) {
  switch (ending) {
    case TEnding::kEnter: return {{kVkReturn, false}, {kVkReturn, true}};
    case TEnding::kTab: return {{kVkTab, false}, {kVkTab, true}};
    case TEnding::kNone: break;
  }
  return {};
}

std::optional<TDeliveryWay> ParseDeliveryWay(std::u16string_view text) {
  for (TDeliveryWay w : {TDeliveryWay::kAuto, TDeliveryWay::kPaste, TDeliveryWay::kKeys})
    if (SameWord(text, DeliveryWayName(w))) return w;
  return std::nullopt;
}

std::optional<TEnding> ParseEnding(std::u16string_view text) {
  for (TEnding e : {TEnding::kEnter, TEnding::kTab, TEnding::kNone})
    if (SameWord(text, EndingName(e))) return e;
  return std::nullopt;
}

std::u16string_view DeliveryWayName(TDeliveryWay way) noexcept {
  switch (way) {
    case TDeliveryWay::kPaste: return u"paste";
    case TDeliveryWay::kKeys: return u"keys";
    case TDeliveryWay::kAuto: break;
  }
  return u"auto";
}

std::u16string_view EndingName(TEnding ending) noexcept {
  switch (ending) {
    case TEnding::kTab: return u"tab";
    case TEnding::kNone: return u"none";
    case TEnding::kEnter: break;
  }
  return u"enter";
}

std::vector<std::vector<TKeyEvent>> PlanKeys(std::u16string_view text, LayoutKeyFn key, const void* layout,
                                             bool unicodeOnly) {
  std::vector<std::vector<TKeyEvent>> plan;
  for (std::size_t i = 0; i < text.size(); ++i) {
    std::vector<TKeyEvent>& keys = plan.emplace_back();
    const char16_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      Unicode(keys, c);
      Unicode(keys, text[++i]);
      continue;
    }
    if (c == u'\t' && !unicodeOnly) {
      keys = {{kVkTab, false}, {kVkTab, true}};
      continue;
    }
    // Below U+0020 a layout's keys are Enter, Backspace and Escape: they act.
    if (!unicodeOnly && c >= 0x20 && (c < 0xD800 || c > 0xDFFF)) {
      if (const std::optional<TLayoutKey> k = key(c, layout); k && Typeable(*k)) {
        LayoutKey(keys, *k);
        continue;
      }
    }
    Unicode(keys, c);
  }
  return plan;
}

}  // namespace qm
