// libFuzzer target: the "AllowFrom" key, against an independent reference
// built on std::regex, and the matching against the ranges it yields.
#include <cstdint>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "net/AddressRules.h"

namespace {

struct Reference {
  bool everyone = true;
  std::vector<qm::TIpv4Range> ranges;
  std::vector<std::u16string> invalid;
};

std::u16string Trim(const std::u16string& s) {
  const auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  std::size_t b = 0, e = s.size();
  while (b < e && blank(s[b])) ++b;
  while (e > b && blank(s[e - 1])) --e;
  return s.substr(b, e - b);
}

bool Entry(const std::u16string& entry, qm::TIpv4Range& range) {
  std::string narrow;
  for (char16_t c : entry) {
    if (c > 0x7E) return false;
    narrow.push_back(static_cast<char>(c));
  }
  static const std::regex octet("(0|[1-9][0-9]{0,2})");
  static const std::regex form("^(0|[1-9][0-9]{0,2})\\.(0|[1-9][0-9]{0,2})\\.(0|[1-9][0-9]{0,2})\\."
                               "(0|[1-9][0-9]{0,2})(/(0|[1-9][0-9]?))?$");
  std::smatch m;
  if (!std::regex_match(narrow, m, form)) return false;
  std::uint64_t address = 0;
  for (int i = 1; i <= 4; ++i) {
    const unsigned long v = std::stoul(m[i].str());
    if (v > 255) return false;
    address = address * 256 + v;
  }
  const unsigned long prefix = m[6].matched ? std::stoul(m[6].str()) : 32;
  if (prefix > 32) return false;
  const std::uint64_t mask = ((std::uint64_t{1} << prefix) - 1) << (32 - prefix);
  range.mask = static_cast<std::uint32_t>(mask);
  range.network = static_cast<std::uint32_t>(address & mask);
  return true;
}

Reference Parse(const std::u16string& value) {
  Reference r;
  if (Trim(value).empty()) return r;
  r.everyone = false;
  std::u16string part;
  for (std::size_t i = 0; i <= value.size(); ++i) {
    if (i < value.size() && value[i] != u',') {
      part.push_back(value[i]);
      continue;
    }
    const std::u16string entry = Trim(part);
    part.clear();
    if (entry.empty()) continue;
    qm::TIpv4Range range;
    if (Entry(entry, range)) r.ranges.push_back(range);
    else r.invalid.push_back(entry);
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Bytes map onto a small alphabet, so that addresses are common; bytes
  // above it pass through as themselves (full-width digits among them).
  static const char16_t alphabet[] = u"0123456789././,, \t/12255";
  std::u16string text;
  for (std::size_t i = 0; i < size; ++i) {
    const std::uint8_t b = data[i];
    if (b < sizeof(alphabet) / sizeof(char16_t) - 1) text.push_back(alphabet[b]);
    else if (b == 0xFF && i + 1 < size) text.push_back(static_cast<char16_t>(0xFF00 + data[++i]));
    else text.push_back(b);
  }
  const qm::TAllowFrom ours = qm::ParseAllowFrom(text);
  const Reference theirs = Parse(text);
  if (ours.everyone != theirs.everyone || ours.ranges != theirs.ranges || ours.invalidCount != theirs.invalid.size())
    std::abort();
  for (std::size_t i = 0; i < ours.invalid.size(); ++i)
    if (ours.invalid[i] != theirs.invalid[i]) std::abort();
  if (ours.invalid.size() != std::min(theirs.invalid.size(), qm::TAllowFrom::kMaxKeptInvalid)) std::abort();
  // Matching: a few addresses taken from the input, and this PC.
  std::vector<std::uint32_t> probes = {qm::kThisPc, 0x7F000002u, 0, 0xFFFFFFFFu};
  for (std::size_t i = 0; i + 4 <= size && probes.size() < 16; i += 4)
    probes.push_back(static_cast<std::uint32_t>(data[i]) << 24 | data[i + 1] << 16 | data[i + 2] << 8 | data[i + 3]);
  for (std::uint32_t a : probes) {
    bool admitted = theirs.everyone || a == qm::kThisPc;
    for (const qm::TIpv4Range& r : theirs.ranges) admitted = admitted || ((a ^ r.network) & r.mask) == 0;
    if (ours.Admits(a) != admitted) std::abort();
  }
  return 0;
}
