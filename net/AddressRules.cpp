#include "net/AddressRules.h"

#include <algorithm>

namespace qm {
namespace {

bool IsDigit(char16_t c) noexcept { return c >= u'0' && c <= u'9'; }

// A decimal number of 1 to maxDigits digits, "0" or without a leading zero,
// starting at i; i moves past it.
bool ReadNumber(std::u16string_view s, std::size_t& i, std::size_t maxDigits, unsigned& value) noexcept {
  const std::size_t start = i;
  value = 0;
  while (i < s.size() && IsDigit(s[i]) && i - start <= maxDigits) value = value * 10 + (s[i++] - u'0');
  const std::size_t len = i - start;
  return len >= 1 && len <= maxDigits && !(len > 1 && s[start] == u'0');
}

bool ReadIpv4(std::u16string_view s, std::size_t& i, std::uint32_t& address) noexcept {
  address = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= s.size() || s[i] != u'.') return false;
      ++i;
    }
    unsigned v = 0;
    if (!ReadNumber(s, i, 3, v) || v > 255) return false;
    address = address << 8 | v;
  }
  return true;
}

std::u16string_view TrimBlanks(std::u16string_view s) noexcept {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == u' ' || s[b] == u'\t')) ++b;
  while (e > b && (s[e - 1] == u' ' || s[e - 1] == u'\t')) --e;
  return s.substr(b, e - b);
}

void AppendAscii(std::u16string& out, const std::string& s) { out.append(s.begin(), s.end()); }

}  // namespace

bool ParseIpv4(std::u16string_view text, std::uint32_t& address) noexcept {
  std::size_t i = 0;
  return ReadIpv4(text, i, address) && i == text.size();
}

std::u16string FormatIpv4(std::uint32_t address) {
  std::u16string out;
  for (int shift = 24; shift >= 0; shift -= 8) {
    if (shift != 24) out.push_back(u'.');
    AppendAscii(out, std::to_string((address >> shift) & 0xFF));
  }
  return out;
}

bool ParseIpv4Range(std::u16string_view text, TIpv4Range& range) noexcept {
  std::size_t i = 0;
  std::uint32_t address = 0;
  if (!ReadIpv4(text, i, address)) return false;
  unsigned prefix = 32;
  if (i < text.size()) {
    if (text[i] != u'/') return false;
    ++i;
    if (!ReadNumber(text, i, 2, prefix) || prefix > 32 || i != text.size()) return false;
  }
  range.mask = prefix == 0 ? 0 : 0xFFFFFFFFu << (32 - prefix);
  range.network = address & range.mask;
  return true;
}

bool TAllowFrom::Admits(std::uint32_t address) const noexcept {
  if (everyone || address == kThisPc) return true;
  return std::any_of(ranges.begin(), ranges.end(), [address](const TIpv4Range& r) { return r.Contains(address); });
}

TAllowFrom ParseAllowFrom(std::u16string_view value) {
  TAllowFrom out;
  if (TrimBlanks(value).empty()) return out;
  out.everyone = false;
  for (std::size_t at = 0; at <= value.size();) {
    std::size_t comma = value.find(u',', at);
    if (comma == std::u16string_view::npos) comma = value.size();
    const std::u16string_view entry = TrimBlanks(value.substr(at, comma - at));
    at = comma + 1;
    if (entry.empty()) continue;
    TIpv4Range range;
    if (ParseIpv4Range(entry, range)) {
      out.ranges.push_back(range);
    } else {
      if (out.invalid.size() < TAllowFrom::kMaxKeptInvalid) out.invalid.emplace_back(entry);
      ++out.invalidCount;
    }
  }
  return out;
}

bool TRefusalLog::ShouldLog(std::uint64_t key, std::uint64_t nowMs) {
  auto it = last_.find(key);
  if (it != last_.end() && nowMs - it->second < kPeriodMs) return false;
  last_[key] = nowMs;
  if (last_.size() >= pruneAt_) {
    std::erase_if(last_, [nowMs](const auto& e) { return nowMs - e.second >= kPeriodMs; });
    // Doubling keeps the pruning cost per refusal constant.
    pruneAt_ = std::max<std::size_t>(1024, last_.size() * 2);
  }
  return true;
}

std::vector<std::uint32_t> ReachableAddresses(const std::vector<TInterfaceAddress>& all) {
  std::vector<std::uint32_t> out;
  for (const TInterfaceAddress& a : all) {
    const bool loopback = (a.address >> 24) == 127;
    const bool linkLocal = (a.address >> 16) == 0xA9FE;
    if (a.usable && !loopback && !linkLocal && std::find(out.begin(), out.end(), a.address) == out.end())
      out.push_back(a.address);
  }
  return out;
}

std::u16string LocalAddressLine(const std::vector<std::uint32_t>& reachable, std::uint16_t port) {
  std::u16string line = u"本机地址：";
  if (reachable.empty()) return line + u"无可用网络";
  for (std::size_t i = 0; i < reachable.size(); ++i) {
    if (i > 0) line += u", ";
    line += FormatIpv4(reachable[i]);
    line.push_back(u':');
    AppendAscii(line, std::to_string(port));
  }
  return line;
}

}  // namespace qm
