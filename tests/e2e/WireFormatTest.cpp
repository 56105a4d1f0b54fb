// The wire format through the real program into a target's field: line
// breaks, trimming, the byte-order mark, text carried between receives and
// delivered after a pause, at the close or at 64 KiB, long lines, Chinese
// text, malformed UTF-8, and barcode.txt.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "WinTestSupport.h"
#include "WireRig.h"

namespace {

using namespace qme2e;
using Texts = std::vector<std::wstring>;

// The program with a target; marks separate the cases.
struct TWire : TDeliveryRig {
  // One connection that sends the writes, each once the program has read
  // the one before, so that each comes in a receive of its own, well inside
  // the 250 ms that would end a line; then closes, and waits until the
  // program has read everything.
  void SendWrites(const std::vector<std::string>& writes) {
    TTcpClient c(port);
    ASSERT_TRUE(c.Connected());
    for (std::size_t i = 0; i < writes.size(); ++i) {
      if (i) {
        ASSERT_TRUE(qmtest::SentBytesRead(c.Socket(), 10000));
      }
      ASSERT_TRUE(c.Send(writes[i]));
    }
    c.ShutdownSend();
    EXPECT_TRUE(c.ClosedByPeer(20000));
  }
};

std::string Repeat(const std::string& unit, std::size_t n) {
  std::string s;
  s.reserve(unit.size() * n);
  for (std::size_t i = 0; i < n; ++i) s += unit;
  return s;
}

// Letters that change along the line, so a lost or moved piece shows. Not
// digits: Wine's edit control takes minutes to lay out 64 KiB of them.
std::string Pattern(std::size_t n) {
  std::string s(n, 'a');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
  return s;
}

std::wstring W(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

TEST(WireFormat, LineBreaksTrimmingAndEmptyLines) {
  TWire w;
  ASSERT_TRUE(w.Start());
  struct Case {
    const char* name;
    std::vector<std::string> writes;
    Texts expected;
  };
  const Case cases[] = {
      {"CR LF, LF, CR and a last line without a break", {"A1\r\nB2\nC3\rD4"}, {L"A1", L"B2", L"C3", L"D4"}},
      {"line breaks only", {"\r\n\r\n\n\r\r\n"}, {}},
      {"CR LF is one break, LF CR two", {"E1\r\n\r\nE2\n\rE3\r\r\nE4\r\n"}, {L"E1", L"E2", L"E3", L"E4"}},
      {"a CR ending one write, its LF starting the next", {"F1\r", "\nF2\r\n"}, {L"F1", L"F2"}},
      {"blanks and tabs at both ends go, inner ones stay", {" \tX Y \t\r\n"}, {L"X Y"}},
      {"NUL and other controls at both ends go", {std::string("\0\x01Z\x1f\x00\r\n", 7)}, {L"Z"}},
      {"blank lines are empty lines", {std::string(" \r\n\t\t\r\n \x00 \n", 11)}, {}},
      {"DEL stays", {"\x7f" "DEL\x7f\r\n"}, {L"\x7f" L"DEL\x7f"}},
      {"U+3000 and U+00A0 at the ends stay", {"\t\xe3\x80\x80X\xc2\xa0 \r\n"}, {L"\u3000X\u00a0"}},
      {"a byte-order mark opening the stream goes, elsewhere it is U+FEFF",
       {"\xef\xbb\xbfX\r\n\xef\xbb\xbf\r\n"}, {L"X", L"\ufeff"}},
      {"a NUL inside a line ends it", {std::string("N1\0N2\r\n", 7)}, {L"N1", L"N2"}},
      {"Chinese text", {"条码：六九〇一二三四\r\n商品 中文 測試\n表情😀\r"},
       {L"条码：六九〇一二三四", L"商品 中文 測試", L"表情\U0001F600"}},
      {"many lines in one write, in order", {"L1\nL2\nL3\nL4\nL5\nL6\nL7\nL8\n"},
       {L"L1", L"L2", L"L3", L"L4", L"L5", L"L6", L"L7", L"L8"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    w.SendWrites(c.writes);
    EXPECT_EQ(U8(w.UntilMark()), U8(c.expected));
  }
}

TEST(WireFormat, TextSplitBetweenReceivesArrivesWhole) {
  TWire w;
  ASSERT_TRUE(w.Start());
  const std::string five = Pattern(5000);
  const std::string ascii4095 = Pattern(4095);
  struct Case {
    const char* name;
    std::vector<std::string> writes;
    Texts expected;
  };
  const Case cases[] = {
      {"AB, then C and CR LF a moment later", {"AB", "C\r\n"}, {L"ABC"}},
      {"a line in many small writes", {"S", "P", "L", "I", "T\r", "\n"}, {L"SPLIT"}},
      // One write, but at most 4,096 bytes per receive.
      {"a 5,000-byte line with its break", {five + "\r\n"}, {W(five)}},
      {"a 5,000-byte line ended by the close", {five}, {W(five)}},
      {"a character cut by the 4,096-byte receive", {ascii4095 + "中文\r\n"}, {W(ascii4095) + L"中文"}},
      {"a character split between writes", {"\xe4\xb8", "\xad\xe6", "\x96\x87\r\n"}, {L"中文"}},
      {"the text after the last break, ended by the close", {"T1\r\nTAIL"}, {L"T1", L"TAIL"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    w.SendWrites(c.writes);
    EXPECT_EQ(U8(w.UntilMark()), U8(c.expected));
  }
}

TEST(WireFormat, LinesOf64KiBAreCutAtACharacterBoundary) {
  TWire w;
  ASSERT_TRUE(w.Start());
  const std::string big = Pattern(65536 + 4464);
  w.SendWrites({big + "\r\n"});
  EXPECT_EQ(w.UntilMark(), (Texts{W(big.substr(0, 65536)), W(big.substr(65536))}));
  // 3-byte characters: 21,845 of them fill 65,535 bytes; the next would not fit.
  w.SendWrites({Repeat("中", 22000) + "\r\n"});
  const Texts cut = w.UntilMark();
  ASSERT_EQ(cut.size(), 2u);
  EXPECT_EQ(cut[0], std::wstring(21845, L'中'));
  EXPECT_EQ(cut[1], std::wstring(22000 - 21845, L'中'));
}

TEST(WireFormat, CarriedTextIsABarcodeAfterAPauseOf250Ms) {
  TWire w;
  ASSERT_TRUE(w.Start());
  TTcpClient c(w.port);
  ASSERT_TRUE(c.Connected());
  const double sent = NowMs();
  ASSERT_TRUE(c.Send("PAUSE-1"));
  ASSERT_TRUE(w.WaitEntered(L"PAUSE-1", 10000));
  // The pause starts when the program has the bytes, after they were sent.
  EXPECT_GE(NowMs() - sent, 245.0);
  // The break that follows later ends nothing more; the connection goes on.
  ASSERT_TRUE(c.Send("\r\nNEXT\r\n"));
  ASSERT_TRUE(w.WaitEntered(L"NEXT", 10000));
  ASSERT_TRUE(c.Send("LAST"));
  c.ShutdownSend();
  EXPECT_TRUE(c.ClosedByPeer(10000));
  EXPECT_EQ(w.UntilMark(), (Texts{L"PAUSE-1", L"NEXT", L"LAST"}));
  // A partial character waits for its end however long it takes. Text
  // carried on another connection, sent once the program has read the
  // partial one and a line after it, ends by the pause: by then the pause
  // has run out for the partial text too.
  TTcpClient d(w.port);
  ASSERT_TRUE(d.Send("WAIT\xe4\xb8"));
  ASSERT_TRUE(qmtest::SentBytesRead(d.Socket(), 10000));
  TTcpClient probe(w.port);
  ASSERT_TRUE(probe.Send("PROBE\r\n"));
  ASSERT_TRUE(w.WaitEntered(L"PROBE", 10000));
  ASSERT_TRUE(probe.Send("LATER"));
  ASSERT_TRUE(w.WaitEntered(L"LATER", 10000));
  for (const std::wstring& t : w.Entered()) EXPECT_EQ(t.find(L"WAIT"), std::wstring::npos);
  ASSERT_TRUE(d.Send("\xad\r\n"));
  d.ShutdownSend();
  EXPECT_TRUE(d.ClosedByPeer(10000));
  EXPECT_EQ(w.UntilMark(), (Texts{L"PROBE", L"LATER", L"WAIT中"}));
}

TEST(WireFormat, MalformedUtf8ClosesOnlyThatConnection) {
  TWire w;
  ASSERT_TRUE(w.Start());
  TTcpClient bystander(w.port);
  ASSERT_TRUE(bystander.Send("BY-0\r\n"));
  ASSERT_TRUE(w.WaitEntered(L"BY-0", 10000));
  EXPECT_EQ(w.UntilMark(), Texts{L"BY-0"});
  struct Case {
    const char* name;
    std::string bad;
  };
  const Case cases[] = {
      {"a stray continuation byte", "\x80"},
      {"an overlong slash", "\xc0\xaf"},
      {"an overlong three-byte form", "\xe0\x80\xaf"},
      {"a UTF-16 surrogate", "\xed\xa0\x80"},
      {"above U+10FFFF", "\xf4\x90\x80\x80"},
      {"F5", "\xf5\x80\x80\x80"},
      {"FF", "\xff"},
      {"a sequence cut by an ASCII byte", "\xe4\xb8X"},
  };
  int k = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ++k;
    const std::string n = std::to_string(k);
    TTcpClient bad(w.port);
    ASSERT_TRUE(bad.Connected());
    // Lines of an earlier receive, then the fault in the middle of a line.
    ASSERT_TRUE(bad.Send("OK-" + n + "\r\n"));
    ASSERT_TRUE(w.WaitEntered(W("OK-" + n), 10000));
    ASSERT_TRUE(bad.Send("BEFORE-" + n + "\r\nBA" + c.bad + "D\r\nAFTER-" + n + "\r\n"));
    EXPECT_TRUE(bad.ClosedByPeer(10000)) << "the program did not close the connection";
    // Its connection stays open: the mark could overtake it.
    ASSERT_TRUE(bystander.Send("BY-" + n + "\r\n"));
    ASSERT_TRUE(w.WaitEntered(W("BY-" + n), 10000));
    EXPECT_EQ(U8(w.UntilMark()), U8({W("OK-" + n), W("BEFORE-" + n), W("BY-" + n)}));
  }
  // A character cut by the end of the stream: the line it stands in is dropped.
  w.SendWrites({"END-OK\r\nAB\xe4\xb8"});
  EXPECT_EQ(w.UntilMark(), Texts{L"END-OK"});
  ASSERT_TRUE(bystander.Send("BY-LAST\r\n"));
  ASSERT_TRUE(w.WaitEntered(L"BY-LAST", 10000));
  EXPECT_EQ(w.UntilMark(), Texts{L"BY-LAST"});
}

TEST(WireFormat, BarcodeFileHoldsTheLatestText) {
  TWire w;
  ASSERT_TRUE(w.Start());
  // BOM, the text, the CR the handler appends, CR LF; lengths that differ.
  ASSERT_TRUE(SendLines(w.port, "第一条\r\n"));
  ASSERT_TRUE(w.WaitEntered(L"第一条", 10000));
  EXPECT_TRUE(w.WaitBarcodeFile("\xef\xbb\xbf第一条\r\r\n", 5000));
  ASSERT_TRUE(SendLines(w.port, "二\xef\xbb\xbf\r\n"));  // U+FEFF inside a line is text
  ASSERT_TRUE(w.WaitEntered(L"二\ufeff", 10000));
  EXPECT_TRUE(w.WaitBarcodeFile("\xef\xbb\xbf二\xef\xbb\xbf\r\r\n", 5000));
  const std::string five = Pattern(5000);
  ASSERT_TRUE(SendLines(w.port, five + "\n"));
  ASSERT_TRUE(w.WaitEntered(W(five), 10000));
  EXPECT_TRUE(w.WaitBarcodeFile("\xef\xbb\xbf" + five + "\r\r\n", 5000));
}

}  // namespace
