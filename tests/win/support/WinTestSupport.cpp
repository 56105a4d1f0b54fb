#include "WinTestSupport.h"


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

SOCKET Connect(std::uint16_t port) {
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
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
