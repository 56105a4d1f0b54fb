#include "WinTestSupport.h"

#include <cstdio>
#include <string>

#include "platform/Application.h"

namespace qmtest {

bool PumpUntil(const std::function<bool()>& pred, DWORD ms) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
    if (pred()) return true;
    DWORD elapsed = ::GetTickCount() - start;
    if (elapsed >= ms) return pred();
    DWORD left = ms - elapsed;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, left < 10 ? left : 10, QS_ALLINPUT);
  }
}

void PumpFor(DWORD ms) {
  PumpUntil([] { return false; }, ms);
}

std::uint16_t FreePort() {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  int len = sizeof(a);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::closesocket(s);
  return ::ntohs(a.sin_port);
}

bool WriteTestConfig(const std::string& more) {
  const std::string text = "[Config]\r\nPort=" + std::to_string(FreePort()) + "\r\nAutoStart=0\r\n" + more;
  HANDLE f = ::CreateFileW((qm::TApplication::ExeDir() + L"config.ini").c_str(), GENERIC_WRITE, 0, nullptr,
                           CREATE_ALWAYS, 0, nullptr);
  if (f == INVALID_HANDLE_VALUE) return false;
  DWORD n = 0;
  const bool ok = ::WriteFile(f, text.data(), static_cast<DWORD>(text.size()), &n, nullptr) && n == text.size();
  ::CloseHandle(f);
  return ok;
}

SOCKET Connect(std::uint16_t port, std::uint32_t from) {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (from != 0) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = ::htonl(from);
    if (::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
      ::closesocket(s);
      return INVALID_SOCKET;
    }
  }
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(port);
  a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    ::closesocket(s);
    return INVALID_SOCKET;
  }
  BOOL one = TRUE;
  ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
  return s;
}

bool SendAll(SOCKET s, const std::string& bytes) {
  std::size_t at = 0;
  while (at < bytes.size()) {
    int n = ::send(s, bytes.data() + at, static_cast<int>(bytes.size() - at), 0);
    if (n <= 0) return false;
    at += static_cast<std::size_t>(n);
  }
  return true;
}

bool PeerClosedWithin(SOCKET s, DWORD ms) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s, &set);
  timeval tv{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
  if (::select(0, &set, nullptr, nullptr, &tv) <= 0) return false;
  char c;
  return ::recv(s, &c, 1, 0) <= 0;
}

SOCKET FindSocket(const std::function<bool(SOCKET)>& pred) {
  // Handle values are multiples of four; a value that is no socket fails
  // getsockname with WSAENOTSOCK and is passed over.
  for (ULONG_PTR h = 4; h < 0x40000; h += 4) {
    const auto s = static_cast<SOCKET>(h);
    if (LocalPort(s) != 0 && pred(s)) return s;
  }
  return INVALID_SOCKET;
}

std::uint16_t LocalPort(SOCKET s) {
  sockaddr_in a{};
  int len = sizeof(a);
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET) return 0;
  return ::ntohs(a.sin_port);
}

sockaddr_in PeerAddress(SOCKET s) {
  sockaddr_in a{};
  int len = sizeof(a);
  if (::getpeername(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) return sockaddr_in{};
  return a;
}

SOCKET ServerSideOf(SOCKET client) {
  const std::uint16_t clientPort = LocalPort(client);
  const std::uint16_t serverPort = ::ntohs(PeerAddress(client).sin_port);
  return FindSocket([&](SOCKET s) {
    return s != client && LocalPort(s) == serverPort && ::ntohs(PeerAddress(s).sin_port) == clientPort;
  });
}

std::vector<TKernelTcp> KernelTcpTable() {
  std::vector<TKernelTcp> table;
  // Wine shows the Linux root as drive Z:.
  HANDLE h = ::CreateFileW(L"Z:\\proc\\net\\tcp", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return table;
  std::string text;
  char buf[65536];
  DWORD n = 0;
  while (::ReadFile(h, buf, sizeof(buf), &n, nullptr) && n > 0) text.append(buf, n);
  ::CloseHandle(h);
  std::size_t at = text.find('\n');  // past the heading
  while (at != std::string::npos && at + 1 < text.size()) {
    const std::size_t end = text.find('\n', at + 1);
    const std::string line = text.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
    at = end;
    unsigned local = 0, localPort = 0, remote = 0, remotePort = 0, state = 0, sendQueue = 0, receiveQueue = 0,
             timer = 0, probes = 0;
    unsigned long when = 0;
    // ... tx_queue:rx_queue tr tm->when retrnsmt uid timeout: the last is the probes sent.
    if (std::sscanf(line.c_str(), " %*d: %8x:%4x %8x:%4x %2x %8x:%8x %2x:%8lx %*8x %*u %u", &local, &localPort,
                    &remote, &remotePort, &state, &sendQueue, &receiveQueue, &timer, &when, &probes) != 10)
      continue;
    TKernelTcp e;
    // The kernel prints the address as it lies in memory (network order).
    e.localAddress = ::ntohl(local);
    e.remoteAddress = ::ntohl(remote);
    e.localPort = static_cast<std::uint16_t>(localPort);
    e.remotePort = static_cast<std::uint16_t>(remotePort);
    e.state = static_cast<int>(state);
    e.sendQueue = sendQueue;
    e.receiveQueue = receiveQueue;
    e.timer = static_cast<int>(timer);
    e.timerSeconds = static_cast<double>(when) / 100.0;  // USER_HZ ticks
    e.probes = static_cast<int>(probes);
    table.push_back(e);
  }
  return table;
}

std::optional<TKernelTcp> KernelTcp(std::uint16_t localPort, std::uint16_t remotePort) {
  for (const TKernelTcp& e : KernelTcpTable())
    if (e.localPort == localPort && e.remotePort == remotePort) return e;
  return std::nullopt;
}

bool SentBytesRead(SOCKET client, DWORD ms) {
  const std::uint16_t here = LocalPort(client), there = ::ntohs(PeerAddress(client).sin_port);
  return PumpUntil(
      [&] {
        const std::optional<TKernelTcp> sent = KernelTcp(here, there), received = KernelTcp(there, here);
        return sent && received && sent->sendQueue == 0 && received->receiveQueue == 0;
      },
      ms);
}

std::size_t PrivateBytes() {
  // Wine reports no PrivateUsage; walking the address space works on both.
  std::size_t total = 0;
  MEMORY_BASIC_INFORMATION mbi;
  for (auto* p = static_cast<char*>(nullptr); ::VirtualQuery(p, &mbi, sizeof(mbi)) == sizeof(mbi);) {
    if (mbi.State == MEM_COMMIT && mbi.Type == MEM_PRIVATE) total += mbi.RegionSize;
    char* next = static_cast<char*>(mbi.BaseAddress) + mbi.RegionSize;
    if (next <= p) break;
    p = next;
  }
  return total;
}

WinsockScope::WinsockScope() {
  WSADATA d;
  ::WSAStartup(MAKEWORD(2, 2), &d);
}
WinsockScope::~WinsockScope() { ::WSACleanup(); }

}  // namespace qmtest
