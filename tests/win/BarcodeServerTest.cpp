#include "net/UBarcodeServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "WinTestSupport.h"
#include "net/LineBudget.h"

namespace qm {
namespace {

using qmtest::Connect;
using qmtest::PumpFor;
using qmtest::PumpUntil;
using qmtest::SendAll;

// What the callbacks received. Shared, so calls still queued when a test
// ends never touch a dead fixture.
struct Recorder {
  std::vector<std::wstring> barcodes, logs;
  std::function<void(const std::wstring&)> onBarcode;  // optional extra work
};

class BarcodeServerTest : public ::testing::Test {
 protected:
  void SetUp() override { port_ = qmtest::FreePort(); }
  void TearDown() override {
    StopServer();
    PumpFor(300);  // let readers of this test end before the next one starts
  }

  std::unique_ptr<TBarcodeServer> MakeServer(std::int32_t port) {
    auto rec = rec_;
    return std::make_unique<TBarcodeServer>(
        port,
        [rec](const std::wstring& s) {
          rec->barcodes.push_back(s);
          if (rec->onBarcode) rec->onBarcode(s);
        },
        [rec](const std::wstring& s) { rec->logs.push_back(s); });
  }

  void StartServer() {
    server_ = MakeServer(port_);
    ASSERT_TRUE(server_->Start());
    ASSERT_TRUE(PumpUntil([&] { return !rec_->logs.empty(); }, 5000));
    ASSERT_EQ(rec_->logs[0], L"已开始监听 TCP 端口 " + std::to_wstring(port_));
  }

  void StopServer() {
    if (!server_) return;
    server_->Stop();
    server_->WaitFor();
    server_.reset();
  }

  std::shared_ptr<Recorder> rec_ = std::make_shared<Recorder>();
  std::unique_ptr<TBarcodeServer> server_;
  std::uint16_t port_ = 0;
  qmtest::WinsockScope winsock_;
};

TEST_F(BarcodeServerTest, LinesOfManyConnectionsArriveOncePerLineInOrderPerConnection) {
  StartServer();
  constexpr int kClients = 16, kLines = 300;
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([this, c] {
      SOCKET s = Connect(port_);
      ASSERT_NE(s, INVALID_SOCKET);
      std::string all;
      const char* ends[] = {"\r\n", "\n", "\r"};
      for (int i = 0; i < kLines; ++i)
        all += "C" + std::to_string(c) + "-" + std::to_string(i) + ends[(c + i) % 3];
      // Writes of odd sizes, so lines and CR LF pairs straddle receives.
      for (std::size_t at = 0; at < all.size();) {
        std::size_t len = std::min<std::size_t>(all.size() - at, 1 + (at * 7 + c) % 61);
        ASSERT_TRUE(SendAll(s, all.substr(at, len)));
        at += len;
      }
      ::closesocket(s);
    });
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() >= kClients * kLines; }, 20000));
  for (auto& t : clients) t.join();
  PumpFor(300);
  ASSERT_EQ(rec_->barcodes.size(), static_cast<std::size_t>(kClients * kLines));
  std::map<int, int> next;
  for (const std::wstring& b : rec_->barcodes) {
    int c = 0, i = 0;
    ASSERT_EQ(swscanf(b.c_str(), L"C%d-%d", &c, &i), 2) << b;
    ASSERT_EQ(b, L"C" + std::to_wstring(c) + L"-" + std::to_wstring(i));
    EXPECT_EQ(i, next[c]++) << "client " << c;
  }
}

TEST_F(BarcodeServerTest, ABarcodeSplitAcrossWritesArrivesWhole) {
  StartServer();
  SOCKET s = Connect(port_);
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_TRUE(SendAll(s, "AB"));
  ::Sleep(20);
  ASSERT_TRUE(SendAll(s, "C\r\n"));
  ASSERT_TRUE(SendAll(s, "\xE4\xB8"));  // a character cut in two
  ::Sleep(20);
  ASSERT_TRUE(SendAll(s, "\xAD" "1\n"));
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() >= 2; }, 3000));
  EXPECT_EQ(rec_->barcodes, (std::vector<std::wstring>{L"ABC", L"中1"}));

  // Without a break the text is a barcode once the sender pauses for 250 ms.
  rec_->barcodes.clear();
  DWORD sent = ::GetTickCount();
  ASSERT_TRUE(SendAll(s, "XYZ"));
  ASSERT_TRUE(PumpUntil([&] { return !rec_->barcodes.empty(); }, 3000));
  DWORD took = ::GetTickCount() - sent;
  EXPECT_EQ(rec_->barcodes, std::vector<std::wstring>{L"XYZ"});
  EXPECT_GE(took, 200u);
  EXPECT_LT(took, 1500u);

  // Lines that come apart in time stay apart.
  rec_->barcodes.clear();
  ASSERT_TRUE(SendAll(s, "P"));
  PumpFor(600);
  ASSERT_TRUE(SendAll(s, "Q\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() >= 2; }, 3000));
  EXPECT_EQ(rec_->barcodes, (std::vector<std::wstring>{L"P", L"Q"}));
  ::closesocket(s);
}

TEST_F(BarcodeServerTest, CarriedTextIsDeliveredWhenThePeerCloses) {
  StartServer();
  SOCKET s = Connect(port_);
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_TRUE(SendAll(s, "ONE\r\nLAST"));
  ::closesocket(s);
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() >= 2; }, 3000));
  EXPECT_EQ(rec_->barcodes, (std::vector<std::wstring>{L"ONE", L"LAST"}));
}

TEST_F(BarcodeServerTest, MalformedUtf8ClosesOnlyThatConnection) {
  StartServer();
  SOCKET bad = Connect(port_);
  SOCKET good = Connect(port_);
  ASSERT_NE(bad, INVALID_SOCKET);
  ASSERT_NE(good, INVALID_SOCKET);
  ASSERT_TRUE(SendAll(bad, "A1\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() == 1; }, 3000));
  ASSERT_TRUE(SendAll(bad, "B2\r\nC\xC0\xAF" "3\r\nD4\r\n"));
  EXPECT_TRUE(qmtest::PeerClosedWithin(bad, 3000));
  ASSERT_TRUE(SendAll(good, "G1\r\n"));
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() >= 3; }, 3000));
  PumpFor(100);
  EXPECT_EQ(rec_->barcodes, (std::vector<std::wstring>{L"A1", L"B2", L"G1"}));
  EXPECT_EQ(rec_->logs.size(), 1u);  // nothing is logged per connection
  ::closesocket(bad);
  ::closesocket(good);
}

TEST_F(BarcodeServerTest, AHeldPortGivesExactlyOneBindFailureWithItsCode) {
  // Held exclusively, as a server that guards its port does: the system
  // answers WSAEACCES.
  SOCKET holder = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  BOOL one = TRUE;
  ::setsockopt(holder, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(port_);
  ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  ASSERT_EQ(::listen(holder, 5), 0);

  server_ = MakeServer(port_);
  ASSERT_TRUE(server_->Start());
  ASSERT_TRUE(PumpUntil([&] { return !rec_->logs.empty(); }, 5000));
  PumpFor(300);
  EXPECT_EQ(rec_->logs, std::vector<std::wstring>{L"bind() 失败，错误码 " + std::to_wstring(WSAEACCES)});
  // The failed listener has ended by itself: stopping it does not wait.
  DWORD t0 = ::GetTickCount();
  StopServer();
  EXPECT_LT(::GetTickCount() - t0, 500u);
  ::closesocket(holder);
}

TEST_F(BarcodeServerTest, StopEndsABlockedAcceptPromptlyAndQuietly) {
  StartServer();
  PumpFor(100);  // the listener is blocked in accept by now
  DWORD t0 = ::GetTickCount();
  server_->Stop();
  server_->WaitFor();
  EXPECT_LT(::GetTickCount() - t0, 1000u);
  server_.reset();
  PumpFor(100);
  EXPECT_EQ(rec_->logs.size(), 1u);
  EXPECT_EQ(Connect(port_), INVALID_SOCKET);  // nothing listens any more
}

TEST_F(BarcodeServerTest, StopBeforeTheBodyBeginsRunsNothing) {
  server_ = MakeServer(port_);
  server_->Stop();
  ASSERT_TRUE(server_->Start());
  server_->WaitFor();
  PumpFor(200);
  EXPECT_TRUE(rec_->logs.empty());
  EXPECT_EQ(Connect(port_), INVALID_SOCKET);
}

TEST_F(BarcodeServerTest, OpenConnectionsSurviveAStopOfTheListener) {
  StartServer();
  // The client runs in a process of its own: this process's Winsock
  // reference would otherwise keep connections alive and hide the fault.
  HANDLE ev = ::CreateEventA(nullptr, TRUE, FALSE, "qm-test-second-line");
  char exe[MAX_PATH];
  ::GetModuleFileNameA(nullptr, exe, MAX_PATH);
  std::string cmd = std::string("\"") + exe + "\" --qm-sender " + std::to_string(port_) +
                    " qm-test-second-line BEFORE AFTER";
  STARTUPINFOA si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() == 1; }, 10000));

  // Drop this process's own reference too, as the real program has none.
  WSACleanup();
  StopServer();
  ::SetEvent(ev);
  EXPECT_TRUE(PumpUntil([&] { return rec_->barcodes.size() == 2; }, 5000));
  WSADATA d;
  WSAStartup(MAKEWORD(2, 2), &d);
  EXPECT_EQ(rec_->barcodes, (std::vector<std::wstring>{L"BEFORE", L"AFTER"}));
  ::WaitForSingleObject(pi.hProcess, 10000);
  DWORD code = 99;
  ::GetExitCodeProcess(pi.hProcess, &code);
  EXPECT_EQ(code, 0u);
  ::CloseHandle(pi.hThread);
  ::CloseHandle(pi.hProcess);
  ::CloseHandle(ev);
}

TEST_F(BarcodeServerTest, FiveHundredSimultaneousConnectionsEachDeliverTheirLine) {
  StartServer();
  constexpr int kConns = 500;
  std::vector<SOCKET> socks;
  for (int i = 0; i < kConns; ++i) {
    SOCKET s = Connect(port_);
    ASSERT_NE(s, INVALID_SOCKET) << "connection " << i;
    socks.push_back(s);
  }
  for (int i = 0; i < kConns; ++i) ASSERT_TRUE(SendAll(socks[i], "N" + std::to_string(i) + "\n"));
  ASSERT_TRUE(PumpUntil([&] { return rec_->barcodes.size() >= kConns; }, 20000));
  std::vector<std::wstring> got = rec_->barcodes;
  std::sort(got.begin(), got.end());
  EXPECT_EQ(std::unique(got.begin(), got.end()), got.end());
  EXPECT_EQ(got.size(), static_cast<std::size_t>(kConns));
  for (SOCKET s : socks) ::closesocket(s);
}

TEST_F(BarcodeServerTest, ASlowCallbackHoldsBackAFastSenderWithoutLosingLines) {
  std::size_t maxWaiting = 0;
  rec_->onBarcode = [&](const std::wstring&) {
    maxWaiting = std::max(maxWaiting, TLineBudget::Network().Lines());
    if (rec_->barcodes.size() % 16 == 0) ::Sleep(1);
  };
  StartServer();
  constexpr int kLines = 40000;
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    SOCKET s = Connect(port_);
    std::string batch;
    for (int i = 0; i < kLines; ++i) {
      batch += "L" + std::to_string(i) + "\n";
      if (batch.size() > 8000) {
        SendAll(s, batch);
        batch.clear();
      }
    }
    SendAll(s, batch);
    sent = true;
    ::closesocket(s);
  });
  const std::size_t before = qmtest::PrivateBytes();
  std::size_t peak = before;
  ASSERT_TRUE(PumpUntil(
      [&] {
        peak = std::max(peak, qmtest::PrivateBytes());
        return rec_->barcodes.size() >= kLines;
      },
      60000));
  sender.join();
  rec_->onBarcode = nullptr;
  EXPECT_LE(maxWaiting, 4096u);
  EXPECT_GE(maxWaiting, 4000u);  // the bound was reached, so the sender was held back
  EXPECT_LT(peak - before, 16u << 20);
  for (int i = 0; i < kLines; ++i) ASSERT_EQ(rec_->barcodes[i], L"L" + std::to_wstring(i));
}

HANDLE WINAPI FailingCreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID,
                                  DWORD, LPDWORD) {
  ::SetLastError(ERROR_NOT_ENOUGH_MEMORY);
  return nullptr;
}

TEST_F(BarcodeServerTest, AConnectionWithoutAReaderIsClosedAndTheListenerGoesOn) {
  StartServer();
  TWorkerThread::SetCreateThreadForTest(&FailingCreateThread);
  SOCKET refused = Connect(port_);
  ASSERT_NE(refused, INVALID_SOCKET);
  EXPECT_TRUE(qmtest::PeerClosedWithin(refused, 3000));
  TWorkerThread::SetCreateThreadForTest(nullptr);
  ::closesocket(refused);

  SOCKET s = Connect(port_);
  ASSERT_NE(s, INVALID_SOCKET);
  ASSERT_TRUE(SendAll(s, "STILL\n"));
  EXPECT_TRUE(PumpUntil([&] { return rec_->barcodes.size() == 1; }, 3000));
  EXPECT_EQ(rec_->barcodes, std::vector<std::wstring>{L"STILL"});
  ::closesocket(s);
}

}  // namespace
}  // namespace qm
