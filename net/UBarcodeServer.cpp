#include "net/UBarcodeServer.h"

#include <mstcpip.h>

#include <algorithm>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <unordered_map>

#include "net/LineBudget.h"
#include "net/LocalAddresses.h"
#include "platform/MainThreadQueue.h"
#include "platform/ScopeExit.h"
#include "platform/WideText.h"

namespace qm {
namespace {

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
  std::unordered_map<std::uint16_t, ULONGLONG> lastEnded;  // tick
};

// Never destroyed: readers may still end while the process exits.
TPortCounts& PortCounts() {
  static TPortCounts* counts = new TPortCounts;
  return *counts;
}

// Reset, not a graceful close: the client learns at once, and a stream of
// refused attempts leaves no TIME_WAIT behind.
void CloseAbortively(SOCKET s) {
  linger abort{1, 0};
  ::setsockopt(s, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof(abort));
  ::closesocket(s);
}

std::uint16_t BoundPort(SOCKET s, std::uint16_t fallback) {
  sockaddr_in addr{};
  int len = sizeof(addr);
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return fallback;
  return ::ntohs(addr.sin_port);
}

}  // namespace

// ---- TClientThread ---------------------------------------------------------

TClientThread::TClientThread(SOCKET AClientSock, TLineProc AOnBarcode, std::uint16_t localPort, TStrProc AOnLog,
                             std::shared_ptr<TConnectionGate> AGate, std::uint32_t peer,
                             std::shared_ptr<const std::atomic<bool>> AReplies)
    : TWorkerThread(/*freeOnTerminate=*/true, kStackReserve),
      FClientSock(AClientSock),
      FOnBarcode(std::move(AOnBarcode)),
      FLocalPort(localPort),
      FOnLog(std::move(AOnLog)),
      FGate(std::move(AGate)),
      FPeer(peer),
      FReplies(std::move(AReplies)),
      FWake(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (FReplies && FWake) FReply = std::make_shared<TReplyChannel>([wake = FWake.get()] { ::SetEvent(wake); });
  WSADATA data;
  FWinsockRef = ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  std::lock_guard<std::mutex> lock(PortCounts().mu);
  ++PortCounts().open[FLocalPort];
}

TClientThread::~TClientThread() {
  // First: once out of the gate, nothing can evict this reader any more.
  if (FGate) FGate->Leave(Key());
  if (FReply) FReply->Detach();  // replies still queued find no event to set
  if (FClientSock != INVALID_SOCKET) ::closesocket(FClientSock);
  if (FWinsockRef) ::WSACleanup();
  std::lock_guard<std::mutex> lock(PortCounts().mu);
  if (--PortCounts().open[FLocalPort] == 0) PortCounts().open.erase(FLocalPort);
  PortCounts().lastEnded[FLocalPort] = ::GetTickCount64();
}

void TClientThread::Evict() noexcept {
  FEvicted = true;
  ::SetEvent(FWake.get());
}

void TClientThread::Abort() noexcept {
  if (FClientSock == INVALID_SOCKET) return;
  CloseAbortively(FClientSock);
  FClientSock = INVALID_SOCKET;
}

std::size_t TClientThread::OpenOnPort(std::uint16_t port) {
  std::lock_guard<std::mutex> lock(PortCounts().mu);
  auto it = PortCounts().open.find(port);
  return it == PortCounts().open.end() ? 0 : it->second;
}

std::optional<std::uint64_t> TClientThread::MsSinceLastEndedOn(std::uint16_t port) {
  std::lock_guard<std::mutex> lock(PortCounts().mu);
  auto it = PortCounts().lastEnded.find(port);
  if (it == PortCounts().lastEnded.end()) return std::nullopt;
  return ::GetTickCount64() - it->second;
}

void TClientThread::Note(TConnectionNote note) const {
  if (!FGate) return;
  TConnectionGate::Lines lines = FGate->Note(note, FPeer, ::GetTickCount64());
  if (lines.empty()) return;
  TMainThreadQueue::Queue([cb = FOnLog, lines = std::move(lines)] {
    if (cb)
      for (const std::u16string& line : lines) cb(ToWide(line));
  });
}

void TClientThread::QueueLines(TLineFramer::Lines& lines) {
  TLineBudget::Network().QueueAll(lines, [this](const std::u16string& line) {
    const TSender from{FPeer, FReplies && FReplies->load() ? FReply : nullptr};
    if (from.Reply) from.Reply->Expect();
    try {
      TMainThreadQueue::Queue([cb = FOnBarcode, Line = ToWide(line), units = line.size(), from] {
        // Also when the callback fails: the reader would wait for the line.
        ScopeExit release([units, &from] {
          TLineBudget::Network().Release(units);
          if (from.Reply) from.Reply->Done();
        });
        if (cb) cb(Line, from);
      });
    } catch (...) {
      if (from.Reply) from.Reply->Done();
      throw;
    }
  });
  lines.clear();
}

bool TClientThread::Hand(TLineFramer::Lines& lines, TRequestGuard& guard, const TLineFramer& framer) {
  if (guard.Refuses(lines, framer.FirstLineCut())) {
    lines.clear();
    return false;
  }
  QueueLines(lines);
  return true;
}

// Until the peer closes, the connection fails, is evicted, or sends what
// may not be typed.
TClientThread::TEnd TClientThread::Read(TLineFramer& framer, TRequestGuard& guard) {
  char buf[4096];
  TLineFramer::Lines lines;
  ULONGLONG lastBytes = ::GetTickCount64();
  for (;;) {
    // Text without its line break goes out once the sender pauses, unless
    // it may be the start of a web request: that waits for its line end.
    DWORD wait = INFINITE;
    if (framer.HasCarriedText() && !framer.InSequence() && !guard.Holds(framer.Carried())) {
      const ULONGLONG idle = ::GetTickCount64() - lastBytes;
      wait = idle >= kCarryIdleMs ? 0 : static_cast<DWORD>(kCarryIdleMs - idle);
    }
    const DWORD woke = ::WaitForSingleObject(FWake.get(), wait);
    if (FEvicted) return TEnd::kClosed;
    if (woke == WAIT_TIMEOUT) {
      framer.FlushCarried(lines);
      if (!Hand(lines, guard, framer)) return TEnd::kHttp;
      continue;
    }
    if (woke != WAIT_OBJECT_0) return TEnd::kClosed;
    WSANETWORKEVENTS events{};
    if (::WSAEnumNetworkEvents(FClientSock, FWake.get(), &events) != 0) return TEnd::kClosed;
    // Everything that is there, whatever the events say: a close comes
    // after the bytes sent before it.
    for (;;) {
      const int n = ::recv(FClientSock, buf, sizeof(buf), 0);
      if (n == 0) return TEnd::kClosed;
      if (n < 0) {
        if (::WSAGetLastError() == WSAEWOULDBLOCK) break;
        return TEnd::kClosed;
      }
      lastBytes = ::GetTickCount64();
      if (FGate) FGate->Touch(Key(), lastBytes);
      const bool wellFormed = framer.Feed(std::string_view(buf, static_cast<std::size_t>(n)), lines);
      if (!Hand(lines, guard, framer)) return TEnd::kHttp;
      if (!wellFormed) return TEnd::kMalformed;
    }
    SendReplies();
  }
}

void TClientThread::SendReplies() {
  if (!FReply) return;
  FReply->Flush([s = FClientSock](const char* bytes, std::size_t n) -> long {
    const int sent = ::send(s, bytes, static_cast<int>(std::min<std::size_t>(n, 1 << 16)), 0);
    if (sent >= 0) return sent;
    // FD_WRITE wakes the reader once there is room again.
    return ::WSAGetLastError() == WSAEWOULDBLOCK ? 0 : -1;
  });
}

// The peer has closed its sending side, or sent what ends the connection;
// the lines it sent before are still answered.
void TClientThread::DrainReplies() {
  if (!FReply) return;
  std::uint64_t progress = FReply->Progress();
  ULONGLONG since = ::GetTickCount64();
  for (;;) {
    // The event was reset before the channel is looked at: a reply given
    // after that sets it again.
    SendReplies();
    if (FReply->Settled() || FEvicted) return;
    const ULONGLONG now = ::GetTickCount64();
    if (FReply->Progress() != progress) {
      progress = FReply->Progress();
      since = now;
    }
    if (now - since >= kReplyDrainIdleMs) return;
    const DWORD woke = ::WaitForSingleObject(FWake.get(), static_cast<DWORD>(kReplyDrainIdleMs - (now - since)));
    if (woke == WAIT_FAILED) return;
    WSANETWORKEVENTS events{};
    ::WSAEnumNetworkEvents(FClientSock, FWake.get(), &events);
  }
}

void TClientThread::Execute() {
  EnableKeepAlive(FClientSock);
  // The socket came non-blocking from the listener's; its events now wake
  // this reader, as an eviction does.
  if (::WSAEventSelect(FClientSock, FWake.get(), FD_READ | FD_CLOSE | (FReply ? FD_WRITE : 0)) != 0) return;
  TLineFramer framer;
  TRequestGuard guard;
  switch (Read(framer, guard)) {
    case TEnd::kClosed: {
      // Held text that may be a web request is never typed.
      if (guard.Holds(framer.Carried())) {
        Note(TConnectionNote::kHttp);
        break;
      }
      TLineFramer::Lines lines;
      const bool wellFormed = framer.Finish(lines);
      if (!Hand(lines, guard, framer)) Note(TConnectionNote::kHttp);
      else if (!wellFormed) Note(TConnectionNote::kMalformed);
      DrainReplies();
      break;
    }
    case TEnd::kMalformed:
      Note(TConnectionNote::kMalformed);
      DrainReplies();
      break;
    case TEnd::kHttp:
      Note(TConnectionNote::kHttp);
      Abort();
      break;
  }
}

// ---- TBarcodeServer --------------------------------------------------------

TBarcodeServer::TBarcodeServer(std::int32_t APort, TStrProc AOnBarcode, TStrProc AOnLog,
                               std::shared_ptr<TConnectionGate> AGate)
    : TBarcodeServer(
          APort,
          [cb = std::move(AOnBarcode)](const std::wstring& s, const TSender&) {
            if (cb) cb(s);
          },
          std::move(AOnLog), std::move(AGate), nullptr) {}

TBarcodeServer::TBarcodeServer(std::int32_t APort, TLineProc AOnBarcode, TStrProc AOnLog,
                               std::shared_ptr<TConnectionGate> AGate, std::shared_ptr<const std::atomic<bool>> AReplies)
    : TWorkerThread(/*freeOnTerminate=*/false),
      FPort(APort),
      FOnBarcode(std::move(AOnBarcode)),
      FOnLog(std::move(AOnLog)),
      FGate(AGate ? std::move(AGate) : std::make_shared<TConnectionGate>()),
      FReplies(std::move(AReplies)),
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

void TBarcodeServer::Log(const TConnectionGate::Lines& lines) const {
  if (lines.empty()) return;
  std::vector<std::wstring> wide;
  for (const std::u16string& line : lines) wide.push_back(ToWide(line));
  Log(std::move(wide));
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
}

namespace {

// We listen nowhere on the port while we try to bind it: a listener there is
// another program's. The owners of connections are asked for only when
// nothing else decides.
TPortUse PortUseOf(std::uint16_t port) {
  TPortUse use;
  use.openReaders = TClientThread::OpenOnPort(port);
  use.msSinceLastEnded = TClientThread::MsSinceLastEndedOn(port);
  use.otherListens = ListenerOnPort(port);
  if (!use.otherListens && !ShouldRetryBind(use)) use.tableShowsOurs = ConnectionsOfOn(::GetCurrentProcessId(), port);
  return use;
}

}  // namespace

bool TBarcodeServer::BindPort(SOCKET s, std::uint16_t port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = ::htons(port);
  addr.sin_addr.s_addr = INADDR_ANY;
  for (bool told = false;;) {
    if (::bind(s, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0) return true;
    const int err = ::WSAGetLastError();
    // An exclusive port stays taken while connections accepted on it live,
    // and TCP holds those that have closed for minutes more, even after
    // their listener closed (a port change and back again). Those are ours
    // and end by themselves: wait for them, not for the user.
    if (err != WSAEADDRINUSE || !ShouldRetryBind(PortUseOf(port))) {
      Log(L"bind() 失败，错误码 " + std::to_wstring(err));
      return false;
    }
    FActive = true;
    if (!told) Log(L"TCP 端口 " + std::to_wstring(FPort) + L" 仍被之前的连接占用，每 3 秒重试一次");
    told = true;
    if (::WaitForSingleObject(FStopEvent.get(), kBindRetryMs) != WAIT_TIMEOUT) return false;
  }
}

bool TBarcodeServer::Admit(SOCKET client, std::uint32_t from) {
  TConnectionGate::TEntry entry = FGate->Check(from, ::GetTickCount64());
  if (entry.admitted) return true;
  CloseAbortively(client);
  Log(entry.lines);
  return false;
}

void TBarcodeServer::Serve(SOCKET client, std::uint16_t port, std::uint32_t from) {
  TClientThread* reader = nullptr;
  try {
    reader = new TClientThread(client, FOnBarcode, port, FOnLog, FGate, from, FReplies);
  } catch (...) {
    ::closesocket(client);
    Log(FGate->Note(TConnectionNote::kNoReader, from, ::GetTickCount64()));
    return;
  }
  const ULONGLONG now = ::GetTickCount64();
  if (!reader->Ready()) {
    delete reader;  // closes the connection
    Log(FGate->Note(TConnectionNote::kNoReader, from, now));
    return;
  }
  TConnectionGate::TEntry entry = FGate->Enter(from, reader->Key(), now, [](std::uintptr_t key) {
    reinterpret_cast<TClientThread*>(key)->Evict();
  });
  Log(entry.lines);
  if (!entry.admitted) {
    reader->Abort();
    delete reader;
    return;
  }
  // A connection no thread can serve is closed; the listener goes on.
  if (!reader->Start()) {
    delete reader;
    Log(FGate->Note(TConnectionNote::kNoReader, from, now));
  }
}

// Every connection waiting now; a failing accept (no handles, no memory)
// is tried again after 50 ms.
void TBarcodeServer::AcceptAll(SOCKET s, std::uint16_t port) {
  while (!Terminated()) {
    sockaddr_in peer{};
    int len = sizeof(peer);
    SOCKET client = ::accept(s, reinterpret_cast<sockaddr*>(&peer), &len);
    if (client == INVALID_SOCKET) {
      const int err = ::WSAGetLastError();
      if (err == WSAEWOULDBLOCK) return;
      // A connection the peer reset before it was taken is no fault of ours.
      if (err != WSAECONNRESET) {
        const std::u16string line = FGate->AcceptFailed(err, ::GetTickCount64());
        if (!line.empty()) Log(ToWide(line));
      }
      if (::WaitForSingleObject(FStopEvent.get(), 50) != WAIT_TIMEOUT) return;
      continue;
    }
    // The connection came with the listening socket's event selection; a
    // reader's own selection later would reset that shared event, and with
    // it a wake-up for a connection still waiting here.
    ::WSAEventSelect(client, nullptr, 0);
    const std::uint32_t from = ::ntohl(peer.sin_addr.s_addr);
    if (Admit(client, from)) Serve(client, port, from);
  }
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
  if (::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
                   sizeof(exclusive)) != 0)
    Log(L"setsockopt(SO_EXCLUSIVEADDRUSE) 失败，错误码 " + std::to_wstring(::WSAGetLastError()));

  const auto port = static_cast<std::uint16_t>(FPort & 0xFFFF);
  if (!FStopEvent || !BindPort(s, port)) {
    CloseListenSock();
    return;
  }
  // The system's largest backlog: with only a few places, a burst of
  // scanners connecting at once overflows it and each dropped handshake
  // waits a second or more for the client's retransmission.
  UniqueKernelHandle accepting(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
  if (::listen(s, SOMAXCONN) == SOCKET_ERROR ||
      !accepting || ::WSAEventSelect(s, accepting.get(), FD_ACCEPT) == SOCKET_ERROR) {
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
  Log({L"已开始监听 TCP 端口 " + std::to_wstring(FPort), ToWide(LocalAddressLine(reachable, bound)),
       ToWide(FGate->AllowFromLine())});
  // Ended, and its calls with it, before the body's clean-up.
  TAddressWatch watch([this, bound] { LogAddressesIfChanged(bound); });

  const HANDLE waits[2] = {FStopEvent.get(), accepting.get()};
  while (!Terminated()) {
    const DWORD woke = ::WaitForMultipleObjects(2, waits, FALSE, kSummaryCheckMs);
    if (Terminated() || woke == WAIT_OBJECT_0 || woke == WAIT_FAILED) break;
    if (const std::u16string summary = FGate->TakeSummary(::GetTickCount64()); !summary.empty())
      Log(ToWide(summary));
    // Also after a time-out: a wake-up lost anywhere costs a scanner no more
    // than that.
    WSANETWORKEVENTS events{};
    ::WSAEnumNetworkEvents(s, accepting.get(), &events);
    AcceptAll(s, bound);
  }
}

}  // namespace qm
