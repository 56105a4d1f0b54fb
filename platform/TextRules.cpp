#include "platform/TextRules.h"

namespace qm {

char16_t AsciiLower(char16_t c) noexcept {
  return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
}

std::u16string ApplicationTitleFromPath(std::u16string_view exePath, LowerCaseFn lower) {
  std::size_t slash = exePath.find_last_of(u"\\/:");
  std::u16string_view name = slash == std::u16string_view::npos ? exePath : exePath.substr(slash + 1);
  std::size_t dot = name.rfind(u'.');
  if (dot != std::u16string_view::npos) name = name.substr(0, dot);
  std::u16string title(name);
  for (std::size_t i = 1; i < title.size(); ++i) title[i] = lower(title[i]);
  return title;
}

std::u16string WithFullStop(std::u16string_view message) {
  std::u16string text(message);
  if (!text.empty() && text.back() > u'.') text.push_back(u'.');
  return text;
}

}  // namespace qm
