#pragma once
// The Win32 side speaks wchar_t (UTF-16 on Windows); the pure logic speaks
// char16_t so that it means the same natively. These copy between the two.
#include <string>
#include <string_view>

#include "platform/Utf8.h"

namespace qm {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows build only");

inline std::wstring ToWide(std::u16string_view s) { return std::wstring(s.begin(), s.end()); }
inline std::u16string ToU16(std::wstring_view s) { return std::u16string(s.begin(), s.end()); }
inline std::string WideToUtf8(std::wstring_view s) { return EncodeUtf8(ToU16(s)); }

}  // namespace qm
