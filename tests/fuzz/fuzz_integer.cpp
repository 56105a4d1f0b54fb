// libFuzzer target: the integer syntax of config.ini and the port box,
// against an independent reference built on std::regex and std::stoull.
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>

#include "app/IntegerSyntax.h"

namespace {

bool Reference(const std::u16string& text, std::int32_t& value) {
  std::string narrow;
  for (char16_t c : text) {
    if (c > 0x7E) return false;  // only ASCII can form a number
    narrow.push_back(static_cast<char>(c));
  }
  static const std::regex hex("^ *([+-]?)(\\$|0[xX]|[xX])0*([0-9A-Fa-f]{0,8})$");
  static const std::regex hexDigits("^ *[+-]?(\\$|0[xX]|[xX])[0-9A-Fa-f]+$");
  static const std::regex dec("^ *([+-]?)0*([0-9]+)$");
  std::smatch m;
  if (std::regex_match(narrow, hexDigits)) {
    if (!std::regex_match(narrow, m, hex)) return false;  // more than 8 significant digits
    std::uint32_t v = m[3].length() ? static_cast<std::uint32_t>(std::stoull(m[3].str(), nullptr, 16)) : 0;
    if (m[1] == "-") v = 0u - v;
    value = static_cast<std::int32_t>(v);
    return true;
  }
  if (std::regex_match(narrow, m, dec)) {
    if (m[2].length() > 10) return false;
    long long v = std::stoll(m[2].str());
    if (m[1] == "-") v = -v;
    if (v < INT32_MIN || v > INT32_MAX) return false;
    value = static_cast<std::int32_t>(v);
    return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Bytes map onto a small alphabet, so that numbers are common; bytes
  // above it pass through as themselves (full-width digits among them).
  static const char16_t alphabet[] = u" +-$xX0123456789ABCDEFabcdefG.\t";
  std::u16string text;
  for (std::size_t i = 0; i < size; ++i) {
    std::uint8_t b = data[i];
    if (b < sizeof(alphabet) / sizeof(char16_t) - 1) text.push_back(alphabet[b]);
    else if (b == 0xFF && i + 1 < size) text.push_back(static_cast<char16_t>(0xFF00 + data[++i]));
    else text.push_back(b);
  }
  std::int32_t ours = 0, theirs = 0;
  bool a = qm::TryParseInt32(text, ours);
  bool b = Reference(text, theirs);
  if (a != b || (a && ours != theirs)) std::abort();
  return 0;
}
