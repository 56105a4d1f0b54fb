#include "net/LineFraming.h"

#include <utility>

namespace qm {

std::u16string_view TrimControls(std::u16string_view s) noexcept {
  std::size_t b = 0, e = s.size();
  while (b < e && s[b] <= 0x20) ++b;
  while (e > b && s[e - 1] <= 0x20) --e;
  return s.substr(b, e - b);
}

void TLineFramer::EndLine(Lines& out, bool cut) {
  std::u16string_view t = TrimControls(line_);
  if (!t.empty()) {
    out.emplace_back(t);
    if (!std::exchange(givenOut_, true)) firstCut_ = cut;
  }
  line_.clear();
  lineBytes_ = 0;
}

bool TLineFramer::Feed(std::string_view bytes, Lines& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    if (!dec_.InSequence() && p[i] < 0x80) {
      // ASCII run up to the next break, bounded by the line limit.
      streamStart_ = false;
      if (p[i] == '\r' || p[i] == '\n' || p[i] == 0) {
        EndLine(out);
        ++i;
        continue;
      }
      if (lineBytes_ == kMaxLineBytes) EndLine(out, /*cut=*/true);
      std::size_t room = kMaxLineBytes - lineBytes_;
      std::size_t j = i;
      while (j < n && j - i < room && p[j] < 0x80 && p[j] != '\r' && p[j] != '\n' && p[j] != 0) ++j;
      line_.append(p + i, p + j);
      lineBytes_ += j - i;
      i = j;
      continue;
    }
    char32_t cp = 0;
    switch (dec_.Push(p[i], cp)) {
      case Utf8Decoder::Step::kNeedMore:
        break;
      case Utf8Decoder::Step::kCodePoint: {
        if (std::exchange(streamStart_, false) && cp == 0xFEFF) break;
        std::size_t len = static_cast<std::size_t>(Utf8Length(cp));
        if (lineBytes_ + len > kMaxLineBytes) EndLine(out, /*cut=*/true);
        AppendUtf16(line_, cp);
        lineBytes_ += len;
        break;
      }
      case Utf8Decoder::Step::kError:
        line_.clear();
        lineBytes_ = 0;
        dec_.Reset();
        return false;
    }
    ++i;
  }
  return true;
}

void TLineFramer::FlushCarried(Lines& out) {
  if (!dec_.InSequence()) EndLine(out);
}

bool TLineFramer::Finish(Lines& out) {
  if (dec_.InSequence()) {
    line_.clear();
    lineBytes_ = 0;
    dec_.Reset();
    return false;
  }
  EndLine(out);
  return true;
}

}  // namespace qm
