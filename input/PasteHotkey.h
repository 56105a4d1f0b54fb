#pragma once
// The paste hot-key's text form and the key events of one press of it.
// Pure: no <windows.h>.
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace qm {

struct TKeyCombo {
  bool Ctrl = false;
  bool Shift = false;
  bool Alt = false;
  std::uint8_t Key = 0;  // virtual-key code
};

// The key that types one character on the keyboard layout in use; the
// Windows build passes the low byte of VkKeyScanW.
using CharKeyFn = std::uint8_t (*)(char16_t);

// Names joined by '+', modifiers first, the key last; spaces are ignored and
// ASCII letter case does not matter. Empty or only spaces: no combination.
std::optional<TKeyCombo> ParsePasteHotkey(std::u16string_view text, CharKeyFn charKey);

// A key, or with Vk 0 a UTF-16 unit typed as a Unicode key event.
struct TKeyEvent {
  std::uint8_t Vk;
  bool Up;
  char16_t Unit = 0;
  friend bool operator==(const TKeyEvent&, const TKeyEvent&) = default;
};

// Modifiers down in the order Ctrl, Shift, Alt; the key down and up; the
// modifiers up in reverse order.
std::vector<TKeyEvent> KeyComboEvents(const TKeyCombo& combo);

}  // namespace qm
