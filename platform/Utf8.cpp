#include "platform/Utf8.h"

namespace qm {

Utf8Decoder::Step Utf8Decoder::Push(std::uint8_t b, char32_t& cp) noexcept {
  if (need_ == 0) {
    if (b < 0x80) {
      cp = b;
      return Step::kCodePoint;
    }
    lo_ = 0x80;
    hi_ = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      need_ = 1;
      cp_ = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need_ = 2;
      cp_ = b & 0x0F;
      if (b == 0xE0) lo_ = 0xA0;       // overlong
      else if (b == 0xED) hi_ = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      need_ = 3;
      cp_ = b & 0x07;
      if (b == 0xF0) lo_ = 0x90;       // overlong
      else if (b == 0xF4) hi_ = 0x8F;  // above U+10FFFF
    } else {
      return Step::kError;  // continuation byte, C0, C1, F5..FF
    }
    total_ = need_ + 1;
    return Step::kNeedMore;
  }
  if (b < lo_ || b > hi_) {
    Reset();
    return Step::kError;
  }
  lo_ = 0x80;
  hi_ = 0xBF;
  cp_ = (cp_ << 6) | (b & 0x3F);
  if (--need_ != 0) return Step::kNeedMore;
  cp = cp_;
  total_ = 0;
  return Step::kCodePoint;
}

void AppendUtf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

int Utf8Length(char32_t cp) noexcept {
  return cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
}

bool DecodeUtf8(std::string_view bytes, std::u16string& out) {
  out.clear();
  out.reserve(bytes.size());
  Utf8Decoder dec;
  char32_t cp = 0;
  for (char c : bytes) {
    switch (dec.Push(static_cast<std::uint8_t>(c), cp)) {
      case Utf8Decoder::Step::kCodePoint: AppendUtf16(out, cp); break;
      case Utf8Decoder::Step::kNeedMore: break;
      case Utf8Decoder::Step::kError: return false;
    }
  }
  return !dec.InSequence();
}

std::string EncodeUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t cp = text[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

}  // namespace qm
