#pragma once
// The keys that type a text as a keyboard would, on the target's keyboard
// layout, and the way a barcode goes and the key after it. Pure: no
// <windows.h>.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "input/PasteHotkey.h"

namespace qm {

enum class TDeliveryWay {
  kAuto,   // the direct way where it applies, else the paste way
  kPaste,  // always the paste way
  kKeys,   // always typed key by key
};

enum class TEnding { kEnter, kTab, kNone };

// The key after a barcode; none for kNone.
std::vector<TKeyEvent> EndingEvents(TEnding ending);

// Names as the settings file writes them, compared without regard to ASCII
// letter case.
std::optional<TDeliveryWay> ParseDeliveryWay(std::u16string_view text);
std::optional<TEnding> ParseEnding(std::u16string_view text);
std::u16string_view DeliveryWayName(TDeliveryWay way) noexcept;
std::u16string_view EndingName(TEnding ending) noexcept;

// What the layout has for a character, as VkKeyScanEx tells it: the key and
// its shift state (1 Shift, 2 Ctrl, 4 Alt, higher bits the layout's own).
// A dead key types nothing by itself: it changes the next character.
struct TLayoutKey {
  std::uint8_t Vk = 0;
  std::uint8_t Shifts = 0;
  bool Dead = false;
};
using LayoutKeyFn = std::optional<TLayoutKey> (*)(char16_t unit, const void* layout);

// The key events of each character of text, in order (a surrogate pair is
// one character). A character gets its layout key where the layout has one
// that needs at most Shift, or Ctrl+Alt as AltGr; Tab is the Tab key; every
// other character, and every one when unicodeOnly, goes as Unicode key
// events, which any layout takes. Typed letters become a composition where
// an input method is open (pinyin, kana): then every character goes as
// Unicode key events, which input methods pass through.
std::vector<std::vector<TKeyEvent>> PlanKeys(std::u16string_view text, LayoutKeyFn key, const void* layout,
                                             bool unicodeOnly);

}  // namespace qm
