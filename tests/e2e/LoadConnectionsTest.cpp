// Many simultaneous connections to the real program, each with a reader
// thread of its own, up to the bound on all connections. Clients on
// 127.0.0.2 and on stand for other machines.
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

constexpr int kAddresses = 16;
constexpr std::uint32_t Loopback(unsigned last) { return 0x7F000000u | last; }

// Opens n connections from kAddresses addresses in turn, each sending its
// line at once; stops early when one cannot connect. The program never
// closes a served connection.
std::vector<TTcpClient> OpenConnections(std::uint16_t port, int n) {
  std::vector<TTcpClient> conns;
  conns.reserve(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) {
    conns.emplace_back(port, false, Loopback(1 + i % kAddresses));
    if (!conns.back().Connected()) break;
    conns.back().Send(ConnLine(i) + "\r\n");
  }
  return conns;
}

double MiB(std::size_t bytes) { return bytes / 1048576.0; }

// 1,024 at once, the most the program holds, each served by a reader of its
// own; the next is refused at once and logged.
TEST(LoadConnections, AllThatMayBeOpenAtOnceEachDeliverTheirLine) {
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start());
  const std::size_t threadsBefore = ThreadCount(rig.app.Pid());
  const std::optional<TProcessMemory> before = ProcessMemory(rig.app.Pid());
  ASSERT_TRUE(before);
  constexpr int kConns = 1024;
  TResponseProbe probe(rig.app.Main(), 100, 5000);
  std::vector<TTcpClient> conns = OpenConnections(rig.port, kConns);
  ASSERT_EQ(conns.size(), static_cast<std::size_t>(kConns));
  ASSERT_TRUE(rig.WaitEnteredCount(kConns, 180000)) << rig.Entered().size();
  const std::vector<std::wstring> entered = rig.Entered();
  EXPECT_EQ(entered.size(), static_cast<std::size_t>(kConns));
  std::set<std::wstring> expected;
  for (int i = 0; i < kConns; ++i) expected.insert(qme2e::Utf8ToWide(ConnLine(i)));
  EXPECT_EQ(std::set<std::wstring>(entered.begin(), entered.end()), expected);

  TTcpClient beyond(rig.port, false, Loopback(kAddresses + 1));
  EXPECT_TRUE(beyond.ClosedByPeer(5000));
  EXPECT_TRUE(rig.app.WaitLogContains(L"连接总数已达 1024 个，已拒绝来自 127.0.0.17 的连接", 5000));
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
