#include "app/IntegerSyntax.h"

namespace qm {
namespace {

int HexDigit(char16_t c) noexcept {
  if (c >= u'0' && c <= u'9') return c - u'0';
  if (c >= u'A' && c <= u'F') return c - u'A' + 10;
  if (c >= u'a' && c <= u'f') return c - u'a' + 10;
  return -1;
}

}  // namespace

bool TryParseInt32(std::u16string_view s, std::int32_t& value) noexcept {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n && s[i] == u' ') ++i;
  bool negative = false;
  if (i < n && (s[i] == u'+' || s[i] == u'-')) {
    negative = s[i] == u'-';
    ++i;
  }
  if (i >= n) return false;

  std::size_t digitsAt = i;
  bool hex = false;
  if (s[i] == u'$' || s[i] == u'x' || s[i] == u'X') {
    hex = true;
    digitsAt = i + 1;
  } else if (s[i] == u'0' && i + 1 < n && (s[i + 1] == u'x' || s[i + 1] == u'X')) {
    hex = true;
    digitsAt = i + 2;
  }
  if (digitsAt >= n) return false;

  if (hex) {
    std::uint32_t v = 0;
    int significant = 0;
    for (std::size_t k = digitsAt; k < n; ++k) {
      int d = HexDigit(s[k]);
      if (d < 0) return false;
      if (significant > 0 || d != 0) ++significant;
      if (significant > 8) return false;
      v = (v << 4) | static_cast<std::uint32_t>(d);
    }
    if (negative) v = 0u - v;
    value = static_cast<std::int32_t>(v);
    return true;
  }

  constexpr std::uint64_t kLimit = 2147483648ull;  // |INT32_MIN|
  std::uint64_t v = 0;
  for (std::size_t k = digitsAt; k < n; ++k) {
    if (s[k] < u'0' || s[k] > u'9') return false;
    v = v * 10 + static_cast<std::uint64_t>(s[k] - u'0');
    if (v > kLimit) v = kLimit + 1;  // out of range either way; keep it from growing
  }
  if (v > (negative ? kLimit : kLimit - 1)) return false;
  value = negative ? static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(v))
                   : static_cast<std::int32_t>(v);
  return true;
}

std::int32_t ParseInt32Or(std::u16string_view text, std::int32_t fallback) noexcept {
  std::int32_t v;
  return TryParseInt32(text, v) ? v : fallback;
}

}  // namespace qm
