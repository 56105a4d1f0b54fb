#include "net/LineFraming.h"

#include <gtest/gtest.h>

#include <random>

namespace qm {
namespace {

using Lines = TLineFramer::Lines;

// Feeds each chunk as one receive, then ends the stream.
Lines Frame(std::initializer_list<std::string_view> chunks, bool* ok = nullptr) {
  TLineFramer f;
  Lines out;
  bool good = true;
  for (std::string_view c : chunks) {
    if (!f.Feed(c, out)) {
      good = false;
      break;
    }
  }
  if (good) f.Finish(out);
  if (ok) *ok = good;
  return out;
}

std::u16string U(std::string_view utf8) {
  std::u16string s;
  EXPECT_TRUE(DecodeUtf8(utf8, s));
  return s;
}

TEST(LineFraming, EveryBreakKindEndsALineAndEmptyLinesVanish) {
  EXPECT_EQ(Frame({"A1\r\nB2\nC3\rD4"}), (Lines{u"A1", u"B2", u"C3", u"D4"}));
  EXPECT_EQ(Frame({"\r\n\r\n\n"}), Lines{});
  EXPECT_EQ(Frame({"AB\r", "\nC\r\n"}), (Lines{u"AB", u"C"}));  // CR | LF is one break
  // A NUL inside a line ends it: some senders end every message with one.
  EXPECT_EQ(Frame({std::string_view("N1\0N2\0", 6)}), (Lines{u"N1", u"N2"}));
}

TEST(LineFraming, TrimsOnlyU0000ToU0020) {
  EXPECT_EQ(Frame({" \tX Y \r\n"}), Lines{u"X Y"});
  EXPECT_EQ(Frame({std::string_view("\0\tZ\0\n", 5)}), Lines{u"Z"});
  EXPECT_EQ(Frame({"\xE3\x80\x80" "A\xC2\xA0\n"}), Lines{U("\xE3\x80\x80" "A\xC2\xA0")});
  EXPECT_EQ(Frame({"\x7F" "B\x7F\n"}), Lines{u"\x7F" u"B\x7F"});
}

TEST(LineFraming, AByteOrderMarkOpeningTheStreamIsDroppedAndStaysAnywhereElse) {
  EXPECT_EQ(Frame({"\xEF\xBB\xBFX\r\n\xEF\xBB\xBFY\n"}), (Lines{u"X", std::u16string{0xFEFF, u'Y'}}));
  EXPECT_EQ(Frame({"\xEF", "\xBB", "\xBF" "X\n"}), Lines{u"X"});  // cut between receives
  EXPECT_EQ(Frame({"X\xEF\xBB\xBF\n"}), (Lines{std::u16string{u'X', 0xFEFF}}));
  EXPECT_EQ(Frame({" \xEF\xBB\xBFZ\n"}), (Lines{std::u16string{0xFEFF, u'Z'}}));  // not the first character
}

TEST(LineFraming, CarriesTextAndSplitCharactersAcrossReceives) {
  // TCP may cut a write anywhere: the barcode still arrives whole.
  EXPECT_EQ(Frame({"AB", "C\r\n"}), Lines{u"ABC"});
  EXPECT_EQ(Frame({"\xE4", "\xB8\xAD\xE6\x96", "\x87\n"}), Lines{U("中文")});
  EXPECT_EQ(Frame({"\xF0\x9F", "\x98\x80", "X\n"}), Lines{U("\xF0\x9F\x98\x80X")});

  std::string big(5000, 'x');
  EXPECT_EQ(Frame({std::string_view(big).substr(0, 4096), std::string_view(big).substr(4096)}),
            Lines{std::u16string(5000, u'x')});
}

TEST(LineFraming, CarriedTextWaitsUntilFlushedOrFinished) {
  TLineFramer f;
  Lines out;
  ASSERT_TRUE(f.Feed("ABC", out));
  EXPECT_TRUE(out.empty());
  EXPECT_TRUE(f.HasCarriedText());
  f.FlushCarried(out);  // the idle time-out
  EXPECT_EQ(out, Lines{u"ABC"});
  EXPECT_FALSE(f.HasCarriedText());

  out.clear();
  ASSERT_TRUE(f.Feed("DE\xE4\xB8", out));  // stops inside a character
  EXPECT_TRUE(f.InSequence());
  f.FlushCarried(out);  // cannot end a line inside a character
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(f.Feed("\xAD\r\n", out));
  EXPECT_EQ(out, Lines{U("DE中")});
}

TEST(LineFraming, MalformedBytesEndTheStreamAfterTheLinesBeforeThem) {
  bool ok = true;
  EXPECT_EQ(Frame({"A1\r\n", "B2\r\nC\xFF" "3\r\nD4\r\n"}, &ok), (Lines{u"A1", u"B2"}));
  EXPECT_FALSE(ok);
  EXPECT_EQ(Frame({"X\xC0\x80Y\n"}, &ok), Lines{});
  EXPECT_FALSE(ok);
  EXPECT_EQ(Frame({"OK\nSUR\xED\xA0\x80\n"}, &ok), Lines{u"OK"});
  EXPECT_FALSE(ok);

  // A character still incomplete when the stream ends is malformed: its line is dropped.
  EXPECT_EQ(Frame({"DONE\nAB\xE4\xB8"}, &ok), Lines{u"DONE"});
  EXPECT_TRUE(ok);
}

TEST(LineFraming, CarriedTextIsBoundedAndCutAtACharacterBoundary) {
  const std::size_t max = TLineFramer::kMaxLineBytes;
  std::string ascii(max + 10, 'a');
  Lines out = Frame({ascii});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].size(), max);
  EXPECT_EQ(out[1].size(), 10u);

  // Three-byte characters: 65536 is not a multiple of 3, so the cut falls
  // before the character that would cross the bound.
  std::string cjk;
  for (std::size_t i = 0; i < max / 3 + 5; ++i) cjk += "\xE4\xB8\xAD";
  out = Frame({cjk});
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].size(), max / 3);
  EXPECT_EQ(out[0].size() + out[1].size(), max / 3 + 5);
  for (const auto& line : out)
    for (char16_t c : line) ASSERT_EQ(c, 0x4E2D);
}

// However the stream is cut into receives, the lines are the same.
TEST(LineFraming, LinesDoNotDependOnWhereReceivesEnd) {
  std::mt19937 rng(7);
  const char* pieces[] = {"A", "b", "7", " ", "\t", "\r", "\n", "\r\n", "\xE4\xB8\xAD", "\xC2\xA0",
                          "\xF0\x9F\x98\x80", "\xEF\xBB\xBF", std::string_view("\0", 1).data()};
  for (int iter = 0; iter < 3000; ++iter) {
    std::string stream;
    int parts = static_cast<int>(rng() % 40);
    for (int i = 0; i < parts; ++i) {
      const std::size_t k = rng() % std::size(pieces);
      stream += k + 1 == std::size(pieces) ? std::string_view("\0", 1) : std::string_view(pieces[k]);
    }
    Lines whole = Frame({stream});
    TLineFramer f;
    Lines split;
    std::size_t at = 0;
    while (at < stream.size()) {
      std::size_t len = 1 + rng() % 7;
      if (at + len > stream.size()) len = stream.size() - at;
      ASSERT_TRUE(f.Feed(std::string_view(stream).substr(at, len), split));
      at += len;
    }
    f.Finish(split);
    ASSERT_EQ(split, whole) << ::testing::PrintToString(stream);
  }
}

}  // namespace
}  // namespace qm
