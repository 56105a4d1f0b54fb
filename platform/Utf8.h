#pragma once
// Strict UTF-8 <-> UTF-16 conversion (RFC 3629). Pure: no <windows.h>.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace qm {

// Incremental strict decoder: one byte at a time, so a sequence may span
// buffers. Overlong forms, surrogates, values above U+10FFFF, stray
// continuation bytes and bytes F5..FF are errors.
class Utf8Decoder {
 public:
  enum class Step { kNeedMore, kCodePoint, kError };

  Step Push(std::uint8_t byte, char32_t& cp) noexcept;
  bool InSequence() const noexcept { return need_ != 0; }
  // Bytes of the sequence in progress (0 when none).
  int PendingBytes() const noexcept { return need_ == 0 ? 0 : total_ - need_; }
  void Reset() noexcept { need_ = 0; total_ = 0; cp_ = 0; }

 private:
  char32_t cp_ = 0;
  int need_ = 0;       // continuation bytes still expected
  int total_ = 0;      // length of the sequence in progress
  std::uint8_t lo_ = 0x80, hi_ = 0xBF;  // allowed range of the next byte
};

// Appends cp (a valid scalar value) to out as UTF-16.
void AppendUtf16(std::u16string& out, char32_t cp);
// Bytes cp takes in UTF-8.
int Utf8Length(char32_t cp) noexcept;

// Whole-buffer strict decode. On malformed input returns false and leaves out
// unspecified; nothing is replaced or skipped.
[[nodiscard]] bool DecodeUtf8(std::string_view bytes, std::u16string& out);

// UTF-16 to UTF-8. Unpaired surrogates become U+FFFD, as the system does.
std::string EncodeUtf8(std::u16string_view text);

}  // namespace qm
