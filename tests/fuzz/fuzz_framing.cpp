// libFuzzer target: line framing and strict UTF-8 decoding. The first byte
// picks how the rest is cut into receives; however it is cut, the lines must
// equal a plain reference framing of the whole stream.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "net/LineFraming.h"

namespace {

using qm::TLineFramer;

constexpr std::string_view kBreaks("\r\n\0", 3);

// A strict decoder of the reference's own, from the well-formed byte
// sequences of the Unicode standard (table 3-7), so that a fault of the
// program's decoder shows as a disagreement.
bool DecodeWellFormed(std::string_view bytes, std::u16string& out) {
  for (std::size_t i = 0; i < bytes.size();) {
    const unsigned lead = static_cast<unsigned char>(bytes[i]);
    std::size_t more = 0;
    unsigned lo = 0x80, hi = 0xBF;  // the second byte's range
    char32_t cp = lead;
    if (lead >= 0xC2 && lead <= 0xDF) {
      more = 1, cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      more = 2, cp = lead & 0x0F;
      if (lead == 0xE0) lo = 0xA0;
      if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      more = 3, cp = lead & 0x07;
      if (lead == 0xF0) lo = 0x90;
      if (lead == 0xF4) hi = 0x8F;
    } else if (lead >= 0x80) {
      return false;
    }
    if (bytes.size() - i <= more) return false;
    for (std::size_t k = 1; k <= more; ++k) {
      const unsigned c = static_cast<unsigned char>(bytes[i + k]);
      if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) return false;
      cp = cp << 6 | (c & 0x3F);
    }
    if (cp < 0x10000) {
      out.push_back(static_cast<char16_t>(cp));
    } else {
      out.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
    }
    i += more + 1;
  }
  return true;
}

// Units up to U+0020 off both ends.
std::u16string Trimmed(const std::u16string& line) {
  std::size_t b = 0, e = line.size();
  while (b < e && line[b] <= 0x20) ++b;
  while (e > b && line[e - 1] <= 0x20) --e;
  return line.substr(b, e - b);
}

// Reference: strict decode of everything, drop a leading byte-order mark,
// split at CR/LF/NUL, trim, drop empty.
bool Reference(std::string_view bytes, TLineFramer::Lines& out) {
  std::u16string text;
  if (!DecodeWellFormed(bytes, text)) return false;
  if (!text.empty() && text.front() == 0xFEFF) text.erase(0, 1);
  std::u16string line;
  const auto end = [&] {
    if (std::u16string t = Trimmed(line); !t.empty()) out.push_back(std::move(t));
    line.clear();
  };
  for (char16_t c : text) {
    if (c == u'\r' || c == u'\n' || c == 0) end();
    else line.push_back(c);
  }
  end();
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const unsigned seed = data[0];
  std::string_view stream(reinterpret_cast<const char*>(data + 1), size - 1);

  TLineFramer framer;
  TLineFramer::Lines lines;
  bool ok = true;
  std::size_t at = 0, step = 0;
  while (ok && at < stream.size()) {
    std::size_t len = 1 + ((seed * 31 + step++ * 17) % 97);
    if (len > stream.size() - at) len = stream.size() - at;
    ok = framer.Feed(stream.substr(at, len), lines);
    at += len;
  }
  if (ok) framer.Finish(lines);

  for (const auto& l : lines) {
    if (l.empty() || l.front() <= 0x20 || l.back() <= 0x20) std::abort();
    for (char16_t c : l)
      if (c == u'\r' || c == u'\n' || c == 0) std::abort();
  }

  if (stream.size() >= TLineFramer::kMaxLineBytes) return 0;  // the bound cuts lines
  TLineFramer::Lines expected;
  if (Reference(stream, expected)) {
    if (!ok || lines != expected) std::abort();
    return 0;
  }
  // Malformed. The framer may only have accepted it if the sole fault is a
  // character cut off at the very end; then the line holding it is dropped
  // and everything before the last line break is delivered.
  if (!ok) return 0;
  for (std::size_t cut = 1; cut <= 3 && cut <= stream.size(); ++cut) {
    std::string_view head = stream.substr(0, stream.size() - cut);
    TLineFramer::Lines ignored;
    if (!Reference(head, ignored)) continue;
    std::size_t brk = head.find_last_of(kBreaks);
    expected.clear();
    Reference(brk == std::string_view::npos ? std::string_view() : head.substr(0, brk + 1), expected);
    if (lines != expected) std::abort();
    return 0;
  }
  std::abort();  // accepted bytes that are malformed in the middle
  return 0;
}
