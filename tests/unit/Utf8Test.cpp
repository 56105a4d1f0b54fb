#include "platform/Utf8.h"

#include <gtest/gtest.h>
#include <iconv.h>

#include <random>

namespace qm {
namespace {

bool Decodes(std::string_view bytes) {
  std::u16string out;
  return DecodeUtf8(bytes, out);
}

TEST(Utf8, DecodesEveryLengthAndTheEdgesOfTheRange) {
  std::u16string out;
  ASSERT_TRUE(DecodeUtf8("A\xC2\x80\xE4\xB8\xAD\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", out));
  EXPECT_EQ(out, (std::u16string{u'A', 0x80, 0x4E2D, 0xD83D, 0xDE00, 0xDBFF, 0xDFFF}));
  ASSERT_TRUE(DecodeUtf8("\xEF\xBB\xBFX", out));  // a BOM is an ordinary character
  EXPECT_EQ(out, (std::u16string{0xFEFF, u'X'}));
  ASSERT_TRUE(DecodeUtf8(std::string_view("\0", 1), out));
  EXPECT_EQ(out, std::u16string(1, u'\0'));
}

TEST(Utf8, RejectsEveryMalformedForm) {
  const char* bad[] = {
      "\x80",              // stray continuation
      "\xBF",              //
      "\xC0\x80",          // overlong NUL
      "\xC1\xBF",          // overlong
      "\xE0\x80\x80",      // overlong 3-byte
      "\xE0\x9F\xBF",      //
      "\xF0\x80\x80\x80",  // overlong 4-byte
      "\xF0\x8F\xBF\xBF",  //
      "\xED\xA0\x80",      // surrogate D800
      "\xED\xBF\xBF",      // surrogate DFFF
      "\xF4\x90\x80\x80",  // above U+10FFFF
      "\xF5\x80\x80\x80",  //
      "\xFF",              //
      "\xE4\xB8",          // truncated
      "\xF0\x9F\x98",      //
      "\xC2",              //
      "\xC2" "A",          // continuation missing
      "\xE4" "A" "\xAD",   //
  };
  for (const char* b : bad) EXPECT_FALSE(Decodes(b)) << "bytes: " << ::testing::PrintToString(b);
}

TEST(Utf8, EncodeRoundTripsAndReplacesLoneSurrogates) {
  std::u16string text{u'A', 0x80, 0x4E2D, 0xD83D, 0xDE00, 0xFEFF};
  std::u16string back;
  ASSERT_TRUE(DecodeUtf8(EncodeUtf8(text), back));
  EXPECT_EQ(back, text);
  EXPECT_EQ(EncodeUtf8(std::u16string{0xD800, u'x'}), "\xEF\xBF\xBDx");
  EXPECT_EQ(EncodeUtf8(std::u16string{u'x', 0xDC00}), "x\xEF\xBF\xBD");
}

TEST(Utf8, IncrementalDecoderReportsTheSequenceInProgress) {
  Utf8Decoder dec;
  char32_t cp = 0;
  EXPECT_EQ(dec.Push(0xF0, cp), Utf8Decoder::Step::kNeedMore);
  EXPECT_EQ(dec.PendingBytes(), 1);
  EXPECT_EQ(dec.Push(0x9F, cp), Utf8Decoder::Step::kNeedMore);
  EXPECT_EQ(dec.PendingBytes(), 2);
  EXPECT_EQ(dec.Push(0x98, cp), Utf8Decoder::Step::kNeedMore);
  EXPECT_EQ(dec.Push(0x80, cp), Utf8Decoder::Step::kCodePoint);
  EXPECT_EQ(cp, U'\U0001F600');
  EXPECT_FALSE(dec.InSequence());
}

// glibc's iconv is an independent strict decoder: both must agree on every
// input, valid or not, and on the text of the valid ones.
bool IconvDecode(const std::string& in, std::u16string& out) {
  iconv_t cd = iconv_open("UTF-16LE", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  std::string buf(in.size() * 2 + 8, '\0');
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char* dst = buf.data();
  size_t dstLeft = buf.size();
  size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1) || srcLeft != 0) return false;
  out.clear();
  for (char* p = buf.data(); p < dst; p += 2)
    out.push_back(static_cast<char16_t>(static_cast<unsigned char>(p[0]) |
                                        (static_cast<unsigned char>(p[1]) << 8)));
  return true;
}

TEST(Utf8, AgreesWithIconvOnRandomBytes) {
  std::mt19937 rng(20222);
  // Bytes weighted towards lead and continuation bytes so the sequences are
  // mostly almost-valid.
  const unsigned char pool[] = {'a',  0x00, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1,
                                0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3,
                                0xF4, 0xF5, 0xFF};
  int valid = 0;
  for (int iter = 0; iter < 200000; ++iter) {
    std::string in(rng() % 6 + 1, '\0');
    for (char& c : in) c = static_cast<char>(pool[rng() % sizeof(pool)]);
    std::u16string ours, theirs;
    bool a = DecodeUtf8(in, ours);
    bool b = IconvDecode(in, theirs);
    ASSERT_EQ(a, b) << ::testing::PrintToString(in);
    if (a) {
      ASSERT_EQ(ours, theirs);
      ++valid;
    }
  }
  EXPECT_GT(valid, 1000);  // the comparison saw both outcomes
}

TEST(Utf8, AgreesWithIconvOnEveryCodePoint) {
  for (char32_t cp = 0; cp <= 0x10FFFF; cp += (cp < 0x20000 ? 1 : 97)) {
    std::string bytes;
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::u16string one;
    AppendUtf16(one, cp);
    bytes = EncodeUtf8(one);
    ASSERT_EQ(static_cast<int>(bytes.size()), Utf8Length(cp));
    std::u16string ours, theirs;
    ASSERT_TRUE(DecodeUtf8(bytes, ours));
    ASSERT_TRUE(IconvDecode(bytes, theirs));
    ASSERT_EQ(ours, theirs);
    ASSERT_EQ(ours, one);
  }
}

}  // namespace
}  // namespace qm
