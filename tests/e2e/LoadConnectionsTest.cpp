// Many simultaneous connections to the real program: a thousand, each with
// a reader thread of its own, and more than a 32-bit process under Wine has
// room for (about 3 MB of address space per thread, whatever stack it asks
// for: some 1,280 threads with the large-address-aware flag).
#include <gtest/gtest.h>

#include <cstdio>
#include <set>

#include "WireRig.h"

namespace {

using namespace qme2e;

std::string ConnLine(int i) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "K-%04d", i);
  return buf;
}

// Opens n connections, each sending its line at once; stops early when one
// cannot connect. The program never closes a served connection.
std::vector<TTcpClient> OpenConnections(std::uint16_t port, int n) {
  std::vector<TTcpClient> conns;
  conns.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    conns.emplace_back(port, false);
    if (!conns.back().Connected()) break;
    conns.back().Send(ConnLine(i) + "\r\n");
  }
  return conns;
}

std::set<std::wstring> EnteredSet(TDeliveryRig& rig) {
  const std::vector<std::wstring> entered = rig.Entered();
  return std::set<std::wstring>(entered.begin(), entered.end());
}

double MiB(std::size_t bytes) { return bytes / 1048576.0; }

TEST(LoadConnections, AThousandAtOnceEachDeliversItsLine) {
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start());
  const std::size_t threadsBefore = ThreadCount(rig.app.Pid());
  const std::optional<TProcessMemory> before = ProcessMemory(rig.app.Pid());
  ASSERT_TRUE(before);
  constexpr int kConns = 1000;
  std::vector<TTcpClient> conns = OpenConnections(rig.port, kConns);
  ASSERT_EQ(conns.size(), static_cast<std::size_t>(kConns));
  ASSERT_TRUE(rig.WaitEnteredCount(kConns, 120000)) << rig.Entered().size();
  const std::vector<std::wstring> entered = rig.Entered();
  EXPECT_EQ(entered.size(), static_cast<std::size_t>(kConns));
  std::set<std::wstring> expected;
  for (int i = 0; i < kConns; ++i) expected.insert(qme2e::Utf8ToWide(ConnLine(i)));
  EXPECT_EQ(std::set<std::wstring>(entered.begin(), entered.end()), expected);

  // Every connection is still open and served by a reader of its own.
  int closed = 0;
  for (TTcpClient& c : conns) closed += c.ClosedByPeer(0) ? 1 : 0;
  EXPECT_EQ(closed, 0);
  const std::size_t threadsOpen = ThreadCount(rig.app.Pid());
  EXPECT_GE(threadsOpen, threadsBefore + kConns);
  const std::optional<TProcessMemory> open = ProcessMemory(rig.app.Pid());
  ASSERT_TRUE(open);
  std::printf("[connections] %d open: threads %zu -> %zu; private %.1f -> %.1f MiB (%.1f KiB per connection); "
              "address space %.1f -> %.1f MiB (%.1f KiB per connection); resident %.1f -> %.1f MiB\n",
              kConns, threadsBefore, threadsOpen, MiB(before->privateBytes), MiB(open->privateBytes),
              (static_cast<double>(open->privateBytes) - before->privateBytes) / kConns / 1024.0,
              MiB(before->addressSpace), MiB(open->addressSpace),
              (static_cast<double>(open->addressSpace) - before->addressSpace) / kConns / 1024.0,
              MiB(before->resident), MiB(open->resident));
  std::fflush(stdout);

  // Closed by the clients, the readers end and give their threads back.
  conns.clear();
  EXPECT_TRUE(WaitFor([&] { return ThreadCount(rig.app.Pid()) <= threadsBefore + 2; }, 60000))
      << ThreadCount(rig.app.Pid());
  ASSERT_TRUE(SendLines(rig.port, "AFTER\r\n"));
  EXPECT_TRUE(rig.WaitEntered(L"AFTER", 20000));
}

TEST(LoadConnections, MoreThanFitAreClosedAtOnceAndTheProgramGoesOn) {
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start());
  const std::size_t threadsBefore = ThreadCount(rig.app.Pid());
  constexpr int kConns = 2000;
  TResponseProbe probe(rig.app.Main(), 100, 5000);
  std::vector<TTcpClient> conns = OpenConnections(rig.port, kConns);
  // The listener keeps accepting: every attempt connects.
  ASSERT_EQ(conns.size(), static_cast<std::size_t>(kConns));

  // Each connection is either served (its line is entered, it stays open)
  // or closed by the program; none is left waiting.
  std::vector<int> state(kConns, 0);  // 0 unknown, 1 served, 2 closed
  int served = 0, closed = 0;
  const bool classified = WaitFor(
      [&] {
        const std::set<std::wstring> entered = EnteredSet(rig);
        for (int i = 0; i < kConns; ++i) {
          if (state[i] != 0) continue;
          if (entered.count(qme2e::Utf8ToWide(ConnLine(i)))) {
            state[i] = 1;
            ++served;
          } else if (conns[i].ClosedByPeer(0)) {
            state[i] = 2;
            ++closed;
          }
        }
        return served + closed == kConns;
      },
      180000);
  const std::size_t threadsFull = ThreadCount(rig.app.Pid());
  const std::optional<TProcessMemory> full = ProcessMemory(rig.app.Pid());
  std::printf("[connections] %d attempted: %d served, %d closed by the program, %d neither; threads %zu -> %zu; "
              "address space %.1f MiB\n",
              kConns, served, closed, kConns - served - closed, threadsBefore, threadsFull,
              full ? MiB(full->addressSpace) : 0.0);
  std::fflush(stdout);
  EXPECT_TRUE(classified);
  EXPECT_TRUE(rig.app.Running());
  EXPECT_GE(served, 1000);
  EXPECT_GT(closed, 0) << "all 2,000 fitted: this test no longer reaches the limit";
  // A served connection stays open; a closed one had nothing delivered.
  for (int i = 0; i < kConns; ++i) {
    if (state[i] == 1) {
      EXPECT_FALSE(conns[i].ClosedByPeer(0)) << i;
    }
  }
  EXPECT_EQ(rig.Entered().size(), static_cast<std::size_t>(served));

  // Room again: the program serves new connections and delivers.
  conns.clear();
  EXPECT_TRUE(WaitFor([&] { return ThreadCount(rig.app.Pid()) <= threadsBefore + 2; }, 120000))
      << ThreadCount(rig.app.Pid());
  ASSERT_TRUE(SendLines(rig.port, "AFTER\r\n"));
  EXPECT_TRUE(rig.WaitEntered(L"AFTER", 20000));
  probe.Stop();
  EXPECT_EQ(probe.Unanswered(), 0u);
  EXPECT_LT(probe.LongestMs(), 1000.0);
  std::printf("[connections] window asked %zu times, longest answer %.0f ms\n", probe.Asked(), probe.LongestMs());
  EXPECT_TRUE(rig.app.Running());
}

}  // namespace
