// Network intake benchmark, run under Wine by scripts/bench.sh, which puts
// its rows (measure | value | baseline | ratio) into the common table:
//  - framing: TLineFramer over 4096-byte receives against a plain memchr
//    line split of the same bytes;
//  - hand-over: lines per second from client sockets through the listener,
//    the readers and the main-thread queue to the barcode callback, with one
//    and with 64 connections;
//  - memory: what each open connection costs, against the process before
//    connecting.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "net/LineFraming.h"
#include "net/UBarcodeServer.h"
#include "WinTestSupport.h"
#include "platform/MainThreadQueue.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::string MakeStream(std::size_t lines) {
  std::string s;
  for (std::size_t i = 0; i < lines; ++i) s += "6901234567" + std::to_string(100 + i % 900) + "\r\n";
  return s;
}

// Median of five runs of f, in seconds.
template <typename F>
double Median5(F f) {
  std::vector<double> t;
  for (int i = 0; i < 5; ++i) {
    auto a = Clock::now();
    f();
    t.push_back(Seconds(a, Clock::now()));
  }
  std::sort(t.begin(), t.end());
  return t[2];
}

void Pump(const std::function<bool()>& done, DWORD ms) {
  const DWORD start = ::GetTickCount();
  while (!done() && ::GetTickCount() - start < ms) {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
  }
}

struct Memory {
  std::size_t committed, reserved;
};
// Walks the address space: Wine reports no private bytes of its own.
Memory ProcessMemory() {
  Memory m{0, 0};
  MEMORY_BASIC_INFORMATION mbi;
  for (auto* p = static_cast<char*>(nullptr); ::VirtualQuery(p, &mbi, sizeof(mbi)) == sizeof(mbi);) {
    if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE) m.committed += mbi.RegionSize;
    if (mbi.State != MEM_FREE) m.reserved += mbi.RegionSize;
    char* next = static_cast<char*>(mbi.BaseAddress) + mbi.RegionSize;
    if (next <= p) break;
    p = next;
  }
  return m;
}

// Lines per second from `conns` clients through the whole intake.
double HandOver(int conns, std::size_t linesPerConn) {
  std::atomic<std::size_t> got{0};
  std::uint16_t port = qmtest::FreePort();
  qm::TBarcodeServer server(port, [&](const std::wstring&) { ++got; }, nullptr);
  if (!server.Start()) return 0;
  ::Sleep(200);
  const std::string stream = MakeStream(linesPerConn);
  std::vector<SOCKET> socks;
  for (int i = 0; i < conns; ++i) socks.push_back(qmtest::Connect(port));
  auto start = Clock::now();
  std::vector<std::thread> senders;
  for (SOCKET s : socks)
    senders.emplace_back([s, &stream] {
      for (std::size_t at = 0; at < stream.size();) {
        int n = ::send(s, stream.data() + at, static_cast<int>(std::min<std::size_t>(stream.size() - at, 16384)), 0);
        if (n <= 0) break;
        at += static_cast<std::size_t>(n);
      }
      ::shutdown(s, SD_SEND);
    });
  const std::size_t want = linesPerConn * static_cast<std::size_t>(conns);
  Pump([&] { return got.load() >= want; }, 120000);
  auto end = Clock::now();
  for (auto& t : senders) t.join();
  for (SOCKET s : socks) ::closesocket(s);
  server.Stop();
  server.WaitFor();
  Pump([] { return false; }, 200);
  return got.load() == want ? static_cast<double>(want) / Seconds(start, end) : -1.0;
}

}  // namespace

int main() {
  WSADATA d;
  ::WSAStartup(MAKEWORD(2, 2), &d);
  qm::TMainThreadQueue::Initialize();

  // Framing against the memchr baseline, both over 4096-byte receives.
  const std::string stream = MakeStream(400000);
  std::size_t framedLines = 0, splitLines = 0;
  double framing = Median5([&] {
    qm::TLineFramer f;
    qm::TLineFramer::Lines out;
    framedLines = 0;
    for (std::size_t at = 0; at < stream.size(); at += 4096) {
      (void)f.Feed(std::string_view(stream).substr(at, 4096), out);
      framedLines += out.size();
      out.clear();
    }
    f.Finish(out);
    framedLines += out.size();
  });
  double baseline = Median5([&] {
    std::vector<std::string> out;
    splitLines = 0;
    std::string carry;
    for (std::size_t at = 0; at < stream.size(); at += 4096) {
      const char* p = stream.data() + at;
      const char* e = p + std::min<std::size_t>(4096, stream.size() - at);
      while (p < e) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', e - p));
        if (!nl) {
          carry.append(p, e);
          break;
        }
        carry.append(p, nl);
        if (!carry.empty() && carry.back() == '\r') carry.pop_back();
        if (!carry.empty()) out.push_back(carry);
        carry.clear();
        p = nl + 1;
      }
      splitLines += out.size();
      out.clear();
    }
  });

  double one = HandOver(1, 200000);
  double many = HandOver(64, 4000);

  // Memory per open connection: 1000 idle connections, each having
  // delivered one line, so every reader is in its receive loop. They come
  // from eight addresses: one may hold 256.
  std::atomic<int> got{0};
  std::uint16_t port = qmtest::FreePort();
  qm::TBarcodeServer server(port, [&](const std::wstring&) { ++got; }, nullptr);
  (void)server.Start();
  ::Sleep(200);
  Memory listening = ProcessMemory();
  const int kConns = 1000;
  std::vector<SOCKET> socks;
  for (int i = 0; i < kConns; ++i) {
    SOCKET s = qmtest::Connect(port, 0x7F000001u + static_cast<std::uint32_t>(i % 8));
    if (s == INVALID_SOCKET) break;
    ::send(s, "X\n", 2, 0);
    socks.push_back(s);
  }
  Pump([&] { return got.load() >= static_cast<int>(socks.size()); }, 60000);
  ::Sleep(300);
  Memory open = ProcessMemory();
  const double n = static_cast<double>(socks.size());

  std::printf("| framing, lines/s (%zu lines, 4096-byte receives) | %.0f | %.0f (memchr split) | %.2f |\n",
              framedLines, framedLines / framing, splitLines / baseline, (splitLines / baseline) / (framedLines / framing));
  std::printf("| hand-over to the callback, 1 connection, lines/s | %.0f | %.0f (memchr split) | %.1f |\n",
              one, splitLines / baseline, (splitLines / baseline) / one);
  std::printf("| hand-over to the callback, 64 connections, lines/s | %.0f | %.0f (memchr split) | %.1f |\n",
              many, splitLines / baseline, (splitLines / baseline) / many);
  std::printf("| committed memory per open connection, KiB (%d connections) | %.1f | %.0f KiB before connecting | %.3f |\n",
              static_cast<int>(n), (open.committed - listening.committed) / n / 1024.0,
              listening.committed / 1024.0, (open.committed - listening.committed) / n / listening.committed);
  std::printf("| address space per open connection, KiB | %.1f | %.0f KiB before connecting | %.3f |\n",
              (open.reserved - listening.reserved) / n / 1024.0, listening.reserved / 1024.0,
              (open.reserved - listening.reserved) / n / listening.reserved);
  std::fflush(stdout);
  for (SOCKET s : socks) ::closesocket(s);
  server.Stop();
  server.WaitFor();
  ::ExitProcess(0);
}
