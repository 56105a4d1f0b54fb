#pragma once
// The rules of the input-control search that need no window. Pure: no
// <windows.h>.
#include <cstdint>
#include <string_view>

namespace qm {

// True when the class name contains one of the 19 input-class entries
// (exact, case-sensitive substring).
bool IsInputClassName(std::u16string_view className) noexcept;

// Rich edits hold documents: their text is never replaced as a whole.
bool IsRichEditClassName(std::u16string_view className) noexcept;

// The deadline has passed at tick now; a 32-bit tick count wraps after
// 49.7 days, so the comparison is of the signed distance.
bool DeadlinePassed(std::uint32_t now, std::uint32_t deadline) noexcept;

}  // namespace qm
