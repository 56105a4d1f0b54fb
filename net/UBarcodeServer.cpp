#include "net/UBarcodeServer.h"

#include <mstcpip.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "net/LineBudget.h"
#include "net/LocalAddresses.h"
#include "platform/MainThreadQueue.h"
#include "platform/ScopeExit.h"
#include "platform/WideText.h"

namespace qm {
namespace {

// >0 readable (or closed), 0 timed out, <0 failed.
int WaitReadable(SOCKET s, DWORD ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
  return ::select(0, &set, nullptr, nullptr, &tv);
}

// IPPROTO_TCP options of ws2ipdef.h that mingw's headers lack.
constexpr int kTcpKeepIdle = 3, kTcpKeepCnt = 16, kTcpKeepIntvl = 17;

void EnableKeepAlive(SOCKET s) {
  BOOL on = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof(on));
  const DWORD idle = TClientThread::kKeepAliveIdleS, interval = TClientThread::kKeepAliveIntervalS,
              probes = TClientThread::kKeepAliveProbes;
  const bool timed =
      ::setsockopt(s, IPPROTO_TCP, kTcpKeepIdle, reinterpret_cast<const char*>(&idle), sizeof(idle)) == 0 &&
      ::setsockopt(s, IPPROTO_TCP, kTcpKeepIntvl, reinterpret_cast<const char*>(&interval), sizeof(interval)) == 0;
  if (!timed) {
    // Before Windows 10 1709: both times through the ioctl.
    tcp_keepalive values{1, idle * 1000, interval * 1000};
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof(values), nullptr, 0, &returned, nullptr, nullptr);
  }
  // Windows 10 1703 and later; elsewhere the system's count of 10 stays.
  ::setsockopt(s, IPPROTO_TCP, kTcpKeepCnt, reinterpret_cast<const char*>(&probes), sizeof(probes));
}

struct TPortCounts {
  std::mutex mu;
  std::unordered_map<std::uint16_t, std::size_t> open;
};

// Never destroyed: readers may still end while the process exits.
TPortCounts& PortCounts() {
  static TPortCounts* counts = new TPortCounts;
  return *counts;
}

std::uint16_t BoundPort(SOCKET s, std::uint16_t fallback) {
  sockaddr_in addr{};
  int len = sizeof(addr);
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return fallback;
  return ::ntohs(addr.sin_port);
}

}  // namespace

// ---- TClientThread ---------------------------------------------------------

TClientThread::TClientThread(SOCKET AClientSock, TStrProc AOnBarcode, std::uint16_t localPort)
    : TWorkerThread(/*freeOnTerminate=*/true, kStackReserve),
      FClientSock(AClientSock),
      FOnBarcode(std::move(AOnBarcode)),
      FLocalPort(localPort) {
  WSADATA data;
  FWinsockRef = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  std::lock_guard<std::mutex> lock(PortCounts().mu);
  ++PortCounts().open[FLocalPort];
}

TClientThread::~TClientThread() {
  if (FClientSock != INVALID_SOCKET) ::closesocket(FClientSock);
  if (FWinsockRef) ::WSACleanup();
  std::lock_guard<std::mutex> lock(PortCounts().mu);
  if (--PortCounts().open[FLocalPort] == 0) PortCounts().open.erase(FLocalPort);
}

std::size_t TClientThread::OpenOnPort(std::uint16_t port) {
  std::lock_guard<std::mutex> lock(PortCounts().mu);
  auto it = PortCounts().open.find(port);
  return it == PortCounts().open.end() ? 0 : it->second;
}

void TClientThread::QueueLines(TLineFramer::Lines& lines) {
  if (lines.empty()) return;
  std::size_t units = 0;
  for (const std::u16string& line : lines) units += line.size();
  TLineBudget::Network().Acquire(lines.size(), units);
  for (std::u16string& line : lines) {
    TMainThreadQueue::Queue([cb = FOnBarcode, Line = ToWide(line), units = line.size()] {
      ScopeExit release([units] { TLineBudget::Network().Release(units); });
      if (cb) cb(Line);
    });
  }
  lines.clear();
}

void TClientThread::Execute() {
  EnableKeepAlive(FClientSock);
  char buf[4096];
  TLineFramer framer;
  TLineFramer::Lines lines;
  bool malformed = false;
  for (;;) {
    if (framer.HasCarriedText() && !framer.InSequence()) {
      int ready = WaitReadable(FClientSock, kCarryIdleMs);
      if (ready < 0) break;
      if (ready == 0) {
        framer.FlushCarried(lines);
        QueueLines(lines);
        continue;
      }
    }
    int n = ::recv(FClientSock, buf, sizeof(buf), 0);
    if (n <= 0) break;
    malformed = !framer.Feed(std::string_view(buf, static_cast<std::size_t>(n)), lines);
    QueueLines(lines);
    if (malformed) break;
  }
  if (!malformed) {
    framer.Finish(lines);
    QueueLines(lines);
  }
  ::closesocket(FClientSock);
  FClientSock = INVALID_SOCKET;
}

// ---- TBarcodeServer --------------------------------------------------------

TBarcodeServer::TBarcodeServer(std::int32_t APort, TStrProc AOnBarcode, TStrProc AOnLog,
                               std::shared_ptr<TConnectionGate> AGate)
    : TWorkerThread(/*freeOnTerminate=*/false),
      FPort(APort),
      FOnBarcode(std::move(AOnBarcode)),
      FOnLog(std::move(AOnLog)),
      FGate(std::move(AGate)),
      FStopEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

TBarcodeServer::~TBarcodeServer() { CloseListenSock(); }

void TBarcodeServer::Log(std::wstring S) const {
  // The call carries its own copy of the callback: it runs even after the
  // listener has been freed.
  TMainThreadQueue::Queue([cb = FOnLog, S = std::move(S)] {
    if (cb) cb(S);
  });
}

void TBarcodeServer::Log(std::vector<std::wstring> lines) const {
  TMainThreadQueue::Queue([cb = FOnLog, lines = std::move(lines)] {
    if (cb)
      for (const std::wstring& line : lines) cb(line);
  });
}

void TBarcodeServer::LogAddressesIfChanged(std::uint16_t port) {
  std::vector<std::uint32_t> reachable = ReachableAddresses(ReadInterfaceAddresses());
  std::vector<std::uint32_t> sorted = reachable;
  std::sort(sorted.begin(), sorted.end());
  std::lock_guard<std::mutex> lock(FAddressesMu);
  if (sorted == FAddresses) return;
  FAddresses = std::move(sorted);
  Log(ToWide(LocalAddressLine(reachable, port)));
}

void TBarcodeServer::CloseListenSock() noexcept {
  SOCKET s = FListenSock.exchange(INVALID_SOCKET);
  if (s != INVALID_SOCKET) ::closesocket(s);
}

void TBarcodeServer::Stop() {
  Terminate();
  if (FStopEvent) ::SetEvent(FStopEvent.get());
  CloseListenSock();
}

bool TBarcodeServer::BindPort(SOCKET s, std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = ::htons(port);
  addr.sin_addr.s_addr = INADDR_ANY;
  for (bool told = false;;) {
    if (::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) return true;
    const int err = ::WSAGetLastError();
    // An exclusive port stays taken while connections accepted on it live,
    // even after their listener closed (a port change and back again).
    // Those are ours and end by themselves: wait for them, not for the user.
    if (err != WSAEADDRINUSE || TClientThread::OpenOnPort(port) == 0 || !FStopEvent) {
      Log(L"bind() 失败，错误码 " + std::to_wstring(err));
      return false;
    }
    FActive = true;
    if (!told) Log(L"TCP 端口 " + std::to_wstring(FPort) + L" 仍被之前的连接占用，每 3 秒重试一次");
    told = true;
    if (::WaitForSingleObject(FStopEvent.get(), kBindRetryMs) != WAIT_TIMEOUT) return false;
  }
}

bool TBarcodeServer::Admit(SOCKET client, const sockaddr_in& peer) {
  if (!FGate) return true;
  const std::uint32_t from = ::ntohl(peer.sin_addr.s_addr);
  const TConnectionGate::TVerdict verdict = FGate->Check(from, ::GetTickCount64());
  if (verdict == TConnectionGate::TVerdict::kAdmit) return true;
  // Reset, not a graceful close: the client learns at once, and a stream
  // of refused attempts leaves no TIME_WAIT behind.
  linger abort{1, 0};
  ::setsockopt(client, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof(abort));
  ::closesocket(client);
  if (verdict == TConnectionGate::TVerdict::kRefuseAndLog)
    Log(L"已拒绝来自 " + ToWide(FormatIpv4(from)) + L" 的连接");
  return false;
}

void TBarcodeServer::Serve(SOCKET client, std::uint16_t port) {
  TClientThread* reader = nullptr;
  try {
    reader = new TClientThread(client, FOnBarcode, port);
  } catch (...) {
    ::closesocket(client);
    return;
  }
  // A connection no thread can serve is closed; the listener goes on.
  if (!reader->Start()) delete reader;
}

void TBarcodeServer::Execute() {
  WSADATA data;
  if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
    Log(L"WSAStartup 失败");
    return;
  }
  ScopeExit cleanup([this] {
    FActive = false;
    CloseListenSock();
    ::WSACleanup();
  });

  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) {
    Log(L"socket() 失败");
    return;
  }
  FListenSock.store(s);

  // No other socket may bind our port, not even one that asks to share it:
  // connections meant for us would go to either at random.
  BOOL exclusive = TRUE;
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof(exclusive));

  const auto port = static_cast<std::uint16_t>(FPort & 0xFFFF);
  if (!BindPort(s, port)) {
    CloseListenSock();
    return;
  }
  // The system's largest backlog: with only a few places, a burst of
  // scanners connecting at once overflows it and each dropped handshake
  // waits a second or more for the client's retransmission.
  if (::listen(s, SOMAXCONN) == SOCKET_ERROR) {
    int err = ::WSAGetLastError();
    Log(L"listen() 失败，错误码 " + std::to_wstring(err));
    CloseListenSock();
    return;
  }
  FActive = true;
  // Port 0 lets the system choose: the addresses are given with the port it
  // chose, and connections count on it.
  const std::uint16_t bound = BoundPort(s, port);
  const std::vector<std::uint32_t> reachable = ReachableAddresses(ReadInterfaceAddresses());
  FAddresses = reachable;
  std::sort(FAddresses.begin(), FAddresses.end());
  Log({L"已开始监听 TCP 端口 " + std::to_wstring(FPort), ToWide(LocalAddressLine(reachable, bound))});
  // Ended, and its calls with it, before the body's clean-up.
  TAddressWatch watch([this, bound] { LogAddressesIfChanged(bound); });

  while (!Terminated()) {
    sockaddr_in peer{};
    int len = sizeof(peer);
    SOCKET client = ::accept(s, reinterpret_cast<sockaddr*>(&peer), &len);
    if (client == INVALID_SOCKET) {
      if (Terminated()) break;
      ::Sleep(50);
      continue;
    }
    if (Admit(client, peer)) Serve(client, bound);
  }
}

}  // namespace qm
