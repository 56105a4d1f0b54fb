#include "input/DeliveryChoice.h"

namespace qm {
namespace {

char16_t FoldLetter(char16_t c) {
  if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) return static_cast<char16_t>(c + 0x20);
  if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return static_cast<char16_t>(c + 0x20);  // Greek
  if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 0x20);                 // Cyrillic
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 0x50);
  return c;
}

}  // namespace

bool SameExeName(std::u16string_view a, std::u16string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldLetter(a[i]) != FoldLetter(b[i])) return false;
  return true;
}

TDeliveryRule RuleFor(const TDeliverySettings& settings, std::u16string_view exe, bool* ruled) {
  if (ruled) *ruled = false;
  if (exe.empty()) return settings.Default;
  for (const TAppRule& app : settings.Apps) {
    if (!SameExeName(app.Exe, exe)) continue;
    if (ruled) *ruled = true;
    return {app.Way, app.Ending.value_or(settings.Default.Ending)};
  }
  return settings.Default;
}

}  // namespace qm
