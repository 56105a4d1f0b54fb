#pragma once
// Small text rules of the application shell. Pure: no <windows.h>.
#include <string>
#include <string_view>

namespace qm {

// Lower-cases one UTF-16 unit; the Windows build passes the system's rule.
using LowerCaseFn = char16_t (*)(char16_t);
char16_t AsciiLower(char16_t c) noexcept;

// The application title: the executable's file name without its directory
// and extension, every character after the first in lower case.
std::u16string ApplicationTitleFromPath(std::u16string_view exePath,
                                        LowerCaseFn lower = &AsciiLower);

// The error report's text: a full stop is appended when the last character
// sorts after '.'.
std::u16string WithFullStop(std::u16string_view message);

}  // namespace qm
