// Many clients at once, and a port change while clients are connected,
// through the real program into a target's field.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <random>
#include <thread>

#include "WireRig.h"
#include "app/MainFrmIds.h"

namespace {

using namespace qme2e;

// Client c's line i: ASCII and Chinese, so lines differ in bytes and units.
std::string ClientLine(int c, int i) {
  return "C" + std::to_string(c) + (c % 2 ? "-货号-" : "-item-") + std::to_string(i);
}

// Texts entered, split by the client they name; a line that names none
// goes under -1.
std::map<int, std::vector<std::string>> ByClient(const std::vector<std::wstring>& entered) {
  std::map<int, std::vector<std::string>> out;
  for (const std::wstring& t : entered) {
    const std::string s = U8(t);
    int c = -1;
    if (s.size() > 1 && s[0] == 'C') c = std::atoi(s.c_str() + 1);
    out[c].push_back(s);
  }
  return out;
}

TEST(LoadClients, ManyClientsAtOnceEachLineOnceAndInOrder) {
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start());
  constexpr int kClients = 16, kLines = 40;
  std::atomic<int> failures{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&, c] {
      std::mt19937 rnd(static_cast<unsigned>(c));
      if (c % 4 == 3) {
        // A connection per line, as some scanner apps do.
        for (int i = 0; i < kLines; ++i)
          if (!SendLines(rig.port, ClientLine(c, i) + "\r\n")) ++failures;
        return;
      }
      // One long-lived connection; writes of a few lines each, breaks of all kinds.
      TTcpClient conn(rig.port);
      const char* breaks[] = {"\r\n", "\n", "\r"};
      for (int i = 0; i < kLines;) {
        std::string write;
        for (int n = 1 + static_cast<int>(rnd() % 5); n > 0 && i < kLines; --n, ++i)
          write += ClientLine(c, i) + breaks[rnd() % 3];
        if (!conn.Send(write)) ++failures;
        ::Sleep(rnd() % 3);
      }
      conn.ShutdownSend();
      if (!conn.ClosedByPeer(60000)) ++failures;
    });
  for (std::thread& t : clients) t.join();
  EXPECT_EQ(failures.load(), 0);
  ASSERT_TRUE(rig.WaitEnteredCount(kClients * kLines, 120000)) << rig.Entered().size();
  ASSERT_TRUE(SendLines(rig.port, "END\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"END", 20000));
  std::vector<std::wstring> entered = rig.Entered();
  entered.pop_back();
  const auto by = ByClient(entered);
  EXPECT_EQ(by.count(-1), 0u);
  for (int c = 0; c < kClients; ++c) {
    std::vector<std::string> expected;
    for (int i = 0; i < kLines; ++i) expected.push_back(ClientLine(c, i));
    const auto it = by.find(c);
    EXPECT_EQ(it == by.end() ? std::vector<std::string>{} : it->second, expected) << "client " << c;
  }
}

TEST(LoadClients, APortChangeKeepsOpenConnectionsAndMovesNewOnes) {
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start());
  const std::uint16_t oldPort = rig.port;
  TTcpClient a(oldPort), b(oldPort);
  ASSERT_TRUE(a.Send("A-0\r\n") && b.Send("B-0\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"A-0", 10000) && rig.WaitEntered(L"B-0", 10000));

  const std::uint16_t newPort = FreePort();
  ASSERT_EQ(BindError(newPort), 0);
  const std::wstring listener = ListenerLine(newPort);
  // As a user would: the program's window comes in front, the button is pressed.
  ::SetForegroundWindow(rig.app.Main());
  rig.app.SetText(qm::kIdEdtPort, std::to_wstring(newPort));
  rig.app.PostClick(qm::kIdBtnSavePort);
  const std::optional<TMessageBox> box = WaitMessageBox(rig.app.Pid(), 10000);
  ASSERT_TRUE(box);
  EXPECT_EQ(U8(box->text), U8(L"端口已保存为 " + std::to_wstring(newPort) + L"，并重新监听。"));
  EXPECT_TRUE(rig.app.WaitLogContains(listener, 10000));
  // Barcodes are delivered while the box is open, into the window below the
  // program's. Wine's stand-in notification area is an ordinary window that
  // a new tip raises; it would be that window (the taskbar on Windows is a
  // tool window, never a candidate), so the target goes right below.
  ::SetWindowPos(rig.target.Main(), rig.app.Main(), 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  ASSERT_EQ(::GetWindow(rig.app.Main(), GW_HWNDNEXT), rig.target.Main());
  ASSERT_TRUE(a.Send("A-1\r\n"));
  EXPECT_TRUE(rig.WaitEntered(L"A-1", 10000));
  PressOk(*box);
  ASSERT_TRUE(WaitGone(box->wnd, 5000));
  ASSERT_TRUE(rig.TargetInFront());

  EXPECT_FALSE(CanConnect(oldPort)) << "the old port still accepts";
  TTcpClient c(newPort);
  ASSERT_TRUE(c.Connected());
  ASSERT_TRUE(c.Send("C-0\r\n"));
  ASSERT_TRUE(b.Send("B-1\r\n"));
  ASSERT_TRUE(a.Send("A-2\r\n"));
  ASSERT_TRUE(b.Send("B-2\r\n"));
  for (TTcpClient* conn : {&a, &b, &c}) {
    conn->ShutdownSend();
    EXPECT_TRUE(conn->ClosedByPeer(20000));
  }
  ASSERT_TRUE(SendLines(newPort, "END\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"END", 20000));
  const auto by = [&](char who) {
    std::vector<std::wstring> out;
    for (const std::wstring& t : rig.Entered())
      if (!t.empty() && t[0] == who) out.push_back(t);
    return out;
  };
  EXPECT_EQ(by('A'), (std::vector<std::wstring>{L"A-0", L"A-1", L"A-2"}));
  EXPECT_EQ(by('B'), (std::vector<std::wstring>{L"B-0", L"B-1", L"B-2"}));
  EXPECT_EQ(by('C'), (std::vector<std::wstring>{L"C-0"}));
  EXPECT_EQ(rig.Entered().size(), 8u);
}

}  // namespace
