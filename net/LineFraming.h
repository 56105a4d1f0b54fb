#pragma once
// Turns the bytes of one connection into barcode lines. Pure: no <windows.h>.
//
// A line ends at CR LF, LF, CR or NUL (some senders end each message with a
// NUL). A UTF-8 byte-order mark that opens the stream is an encoding mark,
// not text, and is dropped; U+FEFF anywhere else stays. What follows the last break of a receive,
// and a UTF-8 sequence cut by the end of a receive, are carried into the next
// one, so TCP splitting a write never splits a barcode. Each line is trimmed
// of U+0000..U+0020 at both ends; empty lines are dropped.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Utf8.h"

namespace qm {

// Removes every code unit up to U+0020 from both ends.
std::u16string_view TrimControls(std::u16string_view s) noexcept;

class TLineFramer {
 public:
  using Lines = std::vector<std::u16string>;

  // Carried text is delivered as a line of its own when it reaches this many
  // bytes, cut at a character boundary, so a reader's memory stays bounded.
  static constexpr std::size_t kMaxLineBytes = 64 * 1024;

  // One receive; completed lines are appended to out. False when the bytes
  // are not well-formed UTF-8: the lines before the fault were appended, the
  // line the fault stands in is dropped, and the connection must end.
  [[nodiscard]] bool Feed(std::string_view bytes, Lines& out);

  // Text after the last line break is waiting for more bytes.
  bool HasCarriedText() const noexcept { return !line_.empty() || dec_.InSequence(); }
  // A UTF-8 sequence is incomplete: the carried text cannot end yet.
  bool InSequence() const noexcept { return dec_.InSequence(); }
  // The text after the last line break, untrimmed.
  std::u16string_view Carried() const noexcept { return line_; }
  // The first line given out was cut by the length bound, not ended by a
  // break or the end of the stream.
  bool FirstLineCut() const noexcept { return firstCut_; }

  // No byte came for a while: the carried text is a barcode of its own.
  void FlushCarried(Lines& out);

  // The stream ended. The carried text is delivered, unless it ends inside a
  // UTF-8 sequence, which makes it malformed: then it is dropped, and the
  // result is false.
  bool Finish(Lines& out);

 private:
  void EndLine(Lines& out, bool cut = false);

  std::u16string line_;
  std::size_t lineBytes_ = 0;
  Utf8Decoder dec_;
  bool streamStart_ = true;  // no character of the stream decoded yet
  bool givenOut_ = false;    // a line was given out
  bool firstCut_ = false;
};

}  // namespace qm
