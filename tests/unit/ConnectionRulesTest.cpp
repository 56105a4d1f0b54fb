#include "net/ConnectionRules.h"

#include <gtest/gtest.h>

#include <vector>

#include "net/LineFraming.h"

namespace qm {
namespace {

constexpr std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

TEST(ConnectionRules, RequestLinesAndTheirBeginnings) {
  struct Case {
    std::u16string_view text;
    bool request, mayStart;
  };
  const Case cases[] = {
      {u"GET / HTTP/1.1", true, true},
      {u"OPTIONS * HTTP/1.1", true, true},
      {u"POST /x?a=1 HTTP/1.0", true, true},
      {u"M-SEARCH * HTTP/1.1", true, true},
      {u"GET http://127.0.0.1:20222/ HTTP/1.1", true, true},
      {u"PRI * HTTP/2.0", true, true},
      {u"GET / HTTP/2", true, true},
      {u"\t GET /  HTTP/1.1 ", true, true},  // as the framer leaves it, and as lenient servers read it
      {u"GET /", false, true},
      {u"CONNECT HTTP", false, true},
      {u"GET / HTTP/", false, true},
      {u"GET / HTTP/1.", false, true},
      {u"GET / http/1.1", false, true},
      {u"GET / HTTP/1.1 X", false, true},
      {u"get / HTTP/1.1", false, false},  // browsers send methods in upper case
      {u"GET", false, false},
      {u"GET ", false, false},
      {u"GET x HTTP/1.1", true, false},  // a whole line needs no particular target
      {u"GET htt", false, false},
      {u"ABC123", false, false},
      {u"4006381333931", false, false},
      {u"SN /7", false, true},  // a barcode may read so too: it waits for its line end
      {u"SN-42 /7", false, false},
      {u"", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IsHttpRequestLine(c.text), c.request) << std::string(c.text.begin(), c.text.end());
    EXPECT_EQ(MayStartHttpRequest(c.text), c.mayStart) << std::string(c.text.begin(), c.text.end());
  }
}

TEST(ConnectionRules, OnlyTheFirstLineOfAConnectionIsJudged) {
  TRequestGuard guard;
  EXPECT_TRUE(guard.Holds(u"\r\nPOST /x"));
  EXPECT_FALSE(guard.Holds(u"ABC"));
  EXPECT_FALSE(guard.Refuses({}, false));  // no line yet: nothing judged
  EXPECT_FALSE(guard.Refuses({u"ABC", u"GET / HTTP/1.1"}, false));
  EXPECT_FALSE(guard.Refuses({u"GET / HTTP/1.1"}, false));
  EXPECT_FALSE(guard.Holds(u"GET /"));

  TRequestGuard web;
  EXPECT_TRUE(web.Refuses({u"POST /x HTTP/1.1", u"Host: 127.0.0.1:20222"}, false));
  // A request line cut by the length bound is still one; a barcode that was
  // cut is not.
  TRequestGuard cut, cutBarcode;
  EXPECT_TRUE(cut.Refuses({u"GET /aaaa"}, true));
  EXPECT_FALSE(cutBarcode.Refuses({u"AAAA"}, true));
}

TEST(ConnectionRules, TheFramerTellsWhatItCarriesAndWhetherTheFirstLineWasCut) {
  TLineFramer f;
  TLineFramer::Lines out;
  ASSERT_TRUE(f.Feed("GET /", out));
  EXPECT_EQ(f.Carried(), u"GET /");
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(f.Feed(std::string(TLineFramer::kMaxLineBytes, 'a') + "\r\nB\r\n", out));
  ASSERT_EQ(out.size(), 3u);
  EXPECT_TRUE(f.FirstLineCut());

  TLineFramer g;
  ASSERT_TRUE(g.Feed("A\r\n" + std::string(TLineFramer::kMaxLineBytes + 1, 'a'), out));
  EXPECT_FALSE(g.FirstLineCut());  // a later line was cut, not the first
  ASSERT_TRUE(g.Feed("\xE4\xB8", out));
  EXPECT_FALSE(g.Finish(out));  // a character cut by the end of the stream
}

TEST(ConnectionRules, AFullAddressGivesUpItsConnectionIdleLongest) {
  TConnectionTable t;
  const std::uint32_t a = Ip(10, 0, 0, 1), b = Ip(10, 0, 0, 2);
  for (std::uintptr_t k = 1; k <= TConnectionTable::kPerAddress; ++k) ASSERT_TRUE(t.Admit(a, k, 1000 + k).admitted);
  t.Touch(1, 5000);  // the first one spoke last: the second is idle longest
  const TConnectionTable::TAdmission next = t.Admit(a, 1000, 6000);
  EXPECT_TRUE(next.admitted);
  EXPECT_EQ(next.evicted, std::uintptr_t{2});
  EXPECT_FALSE(t.Remove(2));
  EXPECT_EQ(t.CountOf(a), TConnectionTable::kPerAddress);
  // Another address is not touched by a's bound.
  EXPECT_FALSE(t.Admit(b, 2000, 6000).evicted);
  EXPECT_EQ(t.CountOf(b), 1u);
}

TEST(ConnectionRules, BeyondTheTotalANewConnectionIsRefused) {
  TConnectionTable t;
  std::uintptr_t key = 1;
  for (unsigned host = 1; host <= 4; ++host)
    for (std::size_t i = 0; i < TConnectionTable::kPerAddress; ++i) ASSERT_TRUE(t.Admit(Ip(10, 0, 0, host), key++, 0).admitted);
  ASSERT_EQ(t.Count(), TConnectionTable::kTotal);
  EXPECT_FALSE(t.Admit(Ip(10, 0, 0, 9), key, 0).admitted);
  EXPECT_EQ(t.CountOf(Ip(10, 0, 0, 9)), 0u);
  // A full address still makes room within its own connections.
  const TConnectionTable::TAdmission own = t.Admit(Ip(10, 0, 0, 1), key, 0);
  EXPECT_TRUE(own.admitted);
  EXPECT_EQ(own.evicted, std::uintptr_t{1});  // all equally idle: the oldest
  EXPECT_TRUE(t.Remove(key));
  EXPECT_TRUE(t.Admit(Ip(10, 0, 0, 9), key + 1, 0).admitted);
}

TEST(ConnectionRules, NotesArePacedPerAddressAndTwentyAMinuteInAll) {
  TConnectionLog log;
  const std::uint64_t t = 1'000'000;
  EXPECT_TRUE(log.ShouldLog(TConnectionNote::kHttp, Ip(10, 0, 0, 1), t));
  EXPECT_FALSE(log.ShouldLog(TConnectionNote::kHttp, Ip(10, 0, 0, 1), t + 10));  // a repeat: not counted
  EXPECT_TRUE(log.ShouldLog(TConnectionNote::kMalformed, Ip(10, 0, 0, 1), t + 10));
  for (unsigned i = 2; i < 20; ++i) EXPECT_TRUE(log.ShouldLog(TConnectionNote::kHttp, Ip(10, 0, 0, i), t + i));
  for (unsigned i = 20; i < 25; ++i) EXPECT_FALSE(log.ShouldLog(TConnectionNote::kHttp, Ip(10, 0, 0, i), t + i));
  EXPECT_EQ(log.TakeSummary(t + TConnectionLog::kPeriodMs - 1), u"");
  EXPECT_EQ(log.TakeSummary(t + TConnectionLog::kPeriodMs), u"另有 5 条连接记录未显示");
  EXPECT_EQ(log.TakeSummary(t + 2 * TConnectionLog::kPeriodMs), u"");
  EXPECT_TRUE(log.ShouldLog(TConnectionNote::kHttp, Ip(10, 0, 0, 1), t + TConnectionLog::kPeriodMs));
}

TEST(ConnectionRules, TheGateAdmitsByListAndBoundsAndSaysWhatItDid) {
  TConnectionGate gate;
  EXPECT_EQ(gate.AllowFromLine(), u"允许连接的地址：全部");
  EXPECT_TRUE(gate.Check(Ip(10, 0, 0, 1), 0).admitted);  // no list yet: everyone
  gate.SetAllowFrom(ParseAllowFrom(u"192.168.1.77/24, 10.0.0.7, 127.0.0.1, 10.0.0.7"));
  EXPECT_EQ(gate.AllowFromLine(), u"允许连接的地址：127.0.0.1, 192.168.1.0/24, 10.0.0.7");
  const TConnectionGate::TEntry refused = gate.Check(Ip(10, 0, 0, 1), 1);
  EXPECT_FALSE(refused.admitted);
  EXPECT_EQ(refused.lines, TConnectionGate::Lines{u"已拒绝来自 10.0.0.1 的连接"});
  EXPECT_TRUE(gate.Check(Ip(10, 0, 0, 1), 2).lines.empty());  // once a minute
  EXPECT_TRUE(gate.Check(kThisPc, 3).admitted);

  std::vector<std::uintptr_t> evicted;
  const auto evict = [&](std::uintptr_t key) { evicted.push_back(key); };
  for (std::uintptr_t k = 1; k <= TConnectionTable::kPerAddress; ++k)
    ASSERT_TRUE(gate.Enter(kThisPc, k, 10, evict).lines.empty());
  gate.Leave(3);
  ASSERT_TRUE(gate.Enter(kThisPc, 500, 10, evict).lines.empty());  // room again: nobody is closed
  const TConnectionGate::TEntry full = gate.Enter(kThisPc, 501, 20, evict);
  EXPECT_TRUE(full.admitted);
  EXPECT_EQ(evicted, std::vector<std::uintptr_t>{1});
  EXPECT_EQ(full.lines, TConnectionGate::Lines{u"来自 127.0.0.1 的连接已达 256 个，已关闭其中空闲最久的一个"});
  EXPECT_EQ(gate.Note(TConnectionNote::kNoReader, Ip(10, 0, 0, 7), 30),
            TConnectionGate::Lines{u"无法为来自 10.0.0.7 的连接创建读取线程，连接已关闭"});
  EXPECT_EQ(gate.AcceptFailed(10024, 40), u"接受连接失败，错误码 10024");
  EXPECT_EQ(gate.AcceptFailed(10024, 50), u"");
  std::uintptr_t key = 1000;
  for (unsigned host = 10; host < 13; ++host)
    for (std::size_t i = 0; i < TConnectionTable::kPerAddress; ++i) ASSERT_TRUE(gate.Enter(Ip(10, 0, 0, host), key++, 60, evict).admitted);
  const TConnectionGate::TEntry total = gate.Enter(Ip(10, 0, 0, 8), key++, 70, evict);
  EXPECT_FALSE(total.admitted);
  EXPECT_EQ(total.lines, TConnectionGate::Lines{u"连接总数已达 1024 个，已拒绝来自 10.0.0.8 的连接"});
  EXPECT_TRUE(gate.Enter(Ip(10, 0, 0, 9), key++, 80, evict).lines.empty());  // told once a minute
}

TEST(ConnectionRules, ABindRefusedIsWaitedOutOnlyForConnectionsOfOurs) {
  EXPECT_FALSE(ShouldRetryBind({}));  // never used here: another program holds it
  EXPECT_TRUE(ShouldRetryBind({.openReaders = 1}));
  EXPECT_TRUE(ShouldRetryBind({.msSinceLastEnded = kClosedConnectionHoldMs - 1}));
  EXPECT_FALSE(ShouldRetryBind({.msSinceLastEnded = kClosedConnectionHoldMs}));
  EXPECT_TRUE(ShouldRetryBind({.tableShowsOurs = true}));
  EXPECT_FALSE(ShouldRetryBind({.openReaders = 3, .tableShowsOurs = true, .otherListens = true}));
}

}  // namespace
}  // namespace qm
