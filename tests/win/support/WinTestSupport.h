#pragma once
// Helpers for in-process tests under Wine: pumping the main thread's
// messages, free ports, and plain Winsock clients.
#include <winsock2.h>
#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qmtest {

// Dispatches the calling thread's messages until pred() holds or ms pass.
// Returns pred()'s final value.
bool PumpUntil(const std::function<bool()>& pred, DWORD ms);
// Dispatches messages for ms milliseconds.
void PumpFor(DWORD ms);

// A TCP port that nothing listens on right now.
std::uint16_t FreePort();
// config.ini beside this executable, a port of its own and auto-start off,
// then the given lines.
bool WriteTestConfig(const std::string& more = {});

// A connected client socket to 127.0.0.1:port, or INVALID_SOCKET.
// from: the local address to connect from (host order; 127.0.0.2 and on
// stand for other machines), 0 for any.
SOCKET Connect(std::uint16_t port, std::uint32_t from = 0);
bool SendAll(SOCKET s, const std::string& bytes);
// True when the peer has closed the connection within ms.
bool PeerClosedWithin(SOCKET s, DWORD ms);

// A socket of this process that pred picks, found among the handle values
// the process can hold: the listener and its readers keep their sockets to
// themselves, and tests read their options back this way.
SOCKET FindSocket(const std::function<bool(SOCKET)>& pred);
// The port a socket is bound to, and its peer's address; 0 when none.
std::uint16_t LocalPort(SOCKET s);
sockaddr_in PeerAddress(SOCKET s);
// The reader's socket of the connection whose client end is client.
SOCKET ServerSideOf(SOCKET client);

// A TCP socket as the Linux kernel under Wine sees it (/proc/net/tcp):
// addresses in host order, the kind of timer running (2: keep-alive), the
// time left on it and the probes sent unanswered.
struct TKernelTcp {
  std::uint32_t localAddress = 0, remoteAddress = 0;
  std::uint16_t localPort = 0, remotePort = 0;
  int state = 0;  // 1 established, 10 listening
  std::uint32_t sendQueue = 0, receiveQueue = 0;  // bytes not yet acknowledged, not yet read
  int timer = 0;
  double timerSeconds = 0;
  int probes = 0;
};
// Empty where there is no Linux kernel to ask (Windows).
std::vector<TKernelTcp> KernelTcpTable();
// The entry of the connection between these two ports, seen from local.
std::optional<TKernelTcp> KernelTcp(std::uint16_t localPort, std::uint16_t remotePort);

// Waits until everything sent on client has been read by the program at the
// other end of the connection: the kernel holds none of it on either side.
// False after ms, and where there is no kernel to ask.
bool SentBytesRead(SOCKET client, DWORD ms);

// The process's committed private memory, in bytes.
std::size_t PrivateBytes();

// Winsock stays initialised for the whole test run.
struct WinsockScope {
  WinsockScope();
  ~WinsockScope();
};

}  // namespace qmtest
