// libFuzzer target: line framing and strict UTF-8 decoding. The first byte
// picks how the rest is cut into receives; however it is cut, the lines must
// equal a plain reference framing of the whole stream.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/LineFraming.h"
#include "platform/Utf8.h"

namespace {

using qm::TLineFramer;

constexpr std::string_view kBreaks("\r\n\0", 3);

// Reference: strict decode of everything, drop a leading byte-order mark,
// split at CR/LF/NUL, trim, drop empty.
bool Reference(std::string_view bytes, TLineFramer::Lines& out) {
  std::u16string text;
  if (!qm::DecodeUtf8(bytes, text)) return false;
  if (!text.empty() && text.front() == 0xFEFF) text.erase(0, 1);
  std::u16string line;
  for (char16_t c : text) {
    if (c == u'\r' || c == u'\n' || c == 0) {
      auto t = qm::TrimControls(line);
      if (!t.empty()) out.emplace_back(t);
      line.clear();
    } else {
      line.push_back(c);
    }
  }
  auto t = qm::TrimControls(line);
  if (!t.empty()) out.emplace_back(t);
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
