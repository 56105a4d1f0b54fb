#pragma once
// The one text-to-integer rule for config.ini values and the port box.
// Pure: no <windows.h>.
#include <cstdint>
#include <string_view>

namespace qm {

// Blanks (U+0020) before; an optional sign; then either a hexadecimal number
// ("$", "x", "X", "0x" or "0X" and at most 8 significant digits, taken as a
// 32-bit two's-complement value, negated after "-") or a decimal number in
// the 32-bit signed range. Nothing may follow. False for anything else.
[[nodiscard]] bool TryParseInt32(std::u16string_view text, std::int32_t& value) noexcept;

// The value, or fallback when the text is not a valid integer.
std::int32_t ParseInt32Or(std::u16string_view text, std::int32_t fallback) noexcept;

}  // namespace qm
