// Network faults against the real program: connections reset mid-line, a
// connection silent for a minute, the port held by another program at
// start-up, and a peer that vanished.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "WinTestSupport.h"
#include "WireRig.h"
#include "app/MainFrmIds.h"

namespace {

using namespace qme2e;
using Texts = std::vector<std::wstring>;

// A reset is a failed connection, which ends the stream like a close: what
// arrived before it is delivered once, the text after the last break as a
// barcode of its own, unless it ends inside a character.
TEST(FaultNetwork, AResetDeliversWhatArrivedBeforeItOnceAndOthersGoOn) {
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start());
  TTcpClient other(rig.port);
  ASSERT_TRUE(other.Send("O-1\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"O-1", 10000));
  EXPECT_EQ(rig.UntilMark(), Texts{L"O-1"});
  struct Case {
    const char* name;
    std::string sent;
    Texts expected;
  };
  const Case cases[] = {
      {"in the middle of a line", "R-1\r\nR-PART", {L"R-1", L"R-PART"}},
      {"after a whole line", "R-2\r\n", {L"R-2"}},
      {"before anything was sent", "", {}},
      {"inside a character", "R-4\r\nAB\xe4\xb8", {L"R-4"}},
      {"in the middle of a Chinese line", "条码-5\r\n半条", {L"条码-5", L"半条"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(rig.WaitReaders(1, 10000));  // the other one's
    TTcpClient r(rig.port);
    ASSERT_TRUE(r.Connected());
    ASSERT_TRUE(rig.WaitReaders(2, 10000));
    if (!c.sent.empty()) {
      ASSERT_TRUE(r.Send(c.sent));
    }
    r.Reset();
    // Its reader has ended, after queuing all it delivers; then the mark.
    ASSERT_TRUE(rig.WaitReaders(1, 10000));
    EXPECT_EQ(U8(rig.UntilMark()), U8(c.expected));
  }
  ASSERT_TRUE(other.Send("O-2\r\n"));
  other.ShutdownSend();
  EXPECT_TRUE(other.ClosedByPeer(10000));
  EXPECT_EQ(rig.UntilMark(), Texts{L"O-2"});
}

TEST(FaultNetwork, AConnectionSilentForAMinuteIsStillServedAndOthersMeanwhile) {
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start());
  TTcpClient idle(rig.port);
  ASSERT_TRUE(idle.Connected());
  const DWORD start = ::GetTickCount();
  int served = 0;
  // Another client scans about twice a second for the whole minute.
  while (::GetTickCount() - start < 60000) {
    const std::wstring line = L"BUSY-" + std::to_wstring(served);
    ASSERT_TRUE(SendLines(rig.port, U8(line) + "\r\n"));
    ASSERT_TRUE(rig.WaitEntered(line, 10000)) << U8(line);
    ++served;
    ::Sleep(500);  // the client's pace, not a wait for the program
  }
  EXPECT_FALSE(idle.ClosedByPeer(0)) << "the silent connection was closed";
  ASSERT_TRUE(idle.Send("IDLE-1\r\n"));
  EXPECT_TRUE(rig.WaitEntered(L"IDLE-1", 10000));
  ASSERT_TRUE(idle.Send("IDLE-2"));
  idle.ShutdownSend();
  EXPECT_TRUE(idle.ClosedByPeer(10000));
  const Texts entered = rig.UntilMark();
  ASSERT_EQ(entered.size(), static_cast<std::size_t>(served) + 2);
  EXPECT_EQ(entered[entered.size() - 2], L"IDLE-1");
  EXPECT_EQ(entered.back(), L"IDLE-2");
}

TEST(FaultNetwork, APortHeldAtStartUpLogsOneLineAndALaterChangeWorks) {
  TDeliveryRig rig;
  TPortHolder holder(rig.port);
  ASSERT_TRUE(holder.Held());
  const std::wstring failure = BindFailureLine(rig.port);
  ASSERT_FALSE(failure.empty());
  ASSERT_TRUE(rig.Start("AutoStart=0\r\n", failure));
  EXPECT_EQ(U8(rig.app.LogMessages()), U8({kDefaultDelivery, L"程序启动完成", failure}));
  // The status claims what was asked for; only the log tells.
  EXPECT_EQ(U8(rig.app.Text(qm::kIdLblStatus)), U8(L"监听中：TCP 端口 " + std::to_wstring(rig.port)));
  EXPECT_TRUE(rig.app.Running());

  const std::uint16_t other = FreePort();
  ASSERT_EQ(BindError(other), 0);
  const std::vector<std::wstring> listening = ListenerLines(other);
  ::SetForegroundWindow(rig.app.Main());
  rig.app.SetText(qm::kIdEdtPort, std::to_wstring(other));
  rig.app.PostClick(qm::kIdBtnSavePort);
  const std::optional<TMessageBox> box = WaitMessageBox(rig.app.Pid(), 10000);
  ASSERT_TRUE(box);
  EXPECT_TRUE(rig.app.WaitLogContains(listening[0], 10000));
  PressOk(*box);
  ASSERT_TRUE(WaitGone(box->wnd, 5000));
  ASSERT_TRUE(rig.app.Sync());
  // Still one failure line: nothing retried the held port.
  Texts log = {kDefaultDelivery, L"程序启动完成", failure, kDefaultDelivery, L"端口已保存并重新监听：" + std::to_wstring(other)};
  log.insert(log.end(), listening.begin(), listening.end());
  EXPECT_EQ(U8(rig.app.LogMessages()), U8(log));
  ASSERT_TRUE(rig.TargetInFront());
  ASSERT_TRUE(SendLines(other, "AFTER-CHANGE\r\n"));
  EXPECT_TRUE(rig.WaitEntered(L"AFTER-CHANGE", 10000));
  EXPECT_EQ(rig.Entered(), Texts{L"AFTER-CHANGE"});
}

// A peer that vanished without closing (a handheld out of range): its link
// is taken down, so the program's keep-alive probes go unanswered. Only
// where the test can make a network namespace (Wine on Linux, as root).
TEST(FaultNetwork, APeerThatVanishedIsDroppedWithinMinutesAndASilentLiveOneStays) {
  THostPeer peer;
  // CI runs as root on Linux, where the namespace can always be made.
  if (!peer.Ready() && std::getenv("CI")) FAIL() << peer.Why();
  if (!peer.Ready()) GTEST_SKIP() << peer.Why();
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start());
  TTcpClient live(rig.port);
  ASSERT_TRUE(live.Send("LIVE-1\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"LIVE-1", 10000));
  ASSERT_TRUE(rig.WaitReaders(1, 10000));
  ASSERT_TRUE(peer.Start("exec 3<>/dev/tcp/" + peer.HostAddress() + "/" + std::to_string(rig.port) +
                        "\nprintf 'FAR-1\\r\\n' >&3\nsleep 900"));
  ASSERT_TRUE(rig.WaitEntered(L"FAR-1", 15000));
  ASSERT_TRUE(rig.WaitReaders(2, 10000));
  auto peerConnection = [&]() -> std::optional<qmtest::TKernelTcp> {
    for (const qmtest::TKernelTcp& e : qmtest::KernelTcpTable())
      if (e.localPort == rig.port && e.remoteAddress == peer.PeerAddress() && e.state == 1) return e;
    return std::nullopt;
  };
  const std::optional<qmtest::TKernelTcp> idle = peerConnection();
  ASSERT_TRUE(idle);
  EXPECT_EQ(idle->timer, 2) << "no keep-alive timer";
  EXPECT_LE(idle->timerSeconds, 60.0);

  ASSERT_TRUE(peer.Cut());
  const DWORD cut = ::GetTickCount();
  // While it probes, each probe waits about ten seconds for its answer.
  int probes = 0;
  double longestWait = 0;
  ASSERT_TRUE(WaitFor(
      [&] {
        if (const std::optional<qmtest::TKernelTcp> k = peerConnection(); k && k->probes > 0) {
          probes = std::max(probes, k->probes);
          longestWait = std::max(longestWait, k->timerSeconds);
        }
        return rig.app.WorkerThreads() == 2;  // the listener and the live one's reader
      },
      240000))
      << "the vanished peer's reader still runs";
  const DWORD took = ::GetTickCount() - cut;
  std::printf("vanished peer: reader ended %.1f s after its link went down, %d probes seen\n", took / 1000.0, probes);
  EXPECT_GE(took, 55000u) << "ended before any probe went unanswered";
  EXPECT_LE(took, 200000u);
  EXPECT_GE(probes, 2);
  EXPECT_LE(longestWait, 10.5);
  EXPECT_FALSE(peerConnection());

  // The silent client answered its probes all along and is still served.
  EXPECT_FALSE(live.ClosedByPeer(0));
  ASSERT_TRUE(live.Send("LIVE-2\r\n"));
  EXPECT_TRUE(rig.WaitEntered(L"LIVE-2", 10000));
}

}  // namespace
