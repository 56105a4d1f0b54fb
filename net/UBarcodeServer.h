#pragma once
// The listener thread and the per-connection reader threads.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "net/AddressRules.h"
#include "net/LineFraming.h"
#include "platform/SharedTypes.h"
#include "platform/UniqueHandle.h"
#include "platform/WorkerThread.h"

namespace qm {

// Serves one accepted connection: frames its bytes into lines and queues each
// line for FOnBarcode on the main thread. Frees itself when its body ends.
class TClientThread final : public TWorkerThread {
 public:
  // Takes a Winsock reference of its own, so a stop of the listener does not
  // reset the connection under it. The connection counts as open on
  // localPort, the listening port it came in on, while the reader lives.
  TClientThread(SOCKET AClientSock, TStrProc AOnBarcode, std::uint16_t localPort = 0);
  ~TClientThread() override;

  // Connections whose readers live, by the port they came in on.
  static std::size_t OpenOnPort(std::uint16_t port);

  static constexpr std::size_t kStackReserve = 64 * 1024;
  static constexpr DWORD kCarryIdleMs = 250;
  // A peer that vanished without closing is probed after a minute of
  // silence and given up after five unanswered probes (ten where the system
  // fixes the count), so its reader ends within two to three minutes.
  static constexpr DWORD kKeepAliveIdleS = 60, kKeepAliveIntervalS = 10, kKeepAliveProbes = 5;

 protected:
  void Execute() override;

 private:
  void QueueLines(TLineFramer::Lines& lines);

  SOCKET FClientSock;
  const TStrProc FOnBarcode;
  const std::uint16_t FLocalPort;
  bool FWinsockRef = false;
};

// Owns the listening socket; hands every accepted connection that AGate
// admits (all of them without a gate) to a new reader.
class TBarcodeServer final : public TWorkerThread {
 public:
  TBarcodeServer(std::int32_t APort, TStrProc AOnBarcode, TStrProc AOnLog,
                 std::shared_ptr<TConnectionGate> AGate = nullptr);
  ~TBarcodeServer() override;

  // Main thread: asks the body to end and closes the listening socket so a
  // blocked accept returns. Does not wait.
  void Stop();

  std::int32_t Port() const noexcept { return FPort; }
  // Listening on its port, or waiting for its own earlier connections to
  // let go of it; false before that and once the body has ended.
  bool Active() const noexcept { return FActive.load(); }

  static constexpr DWORD kBindRetryMs = 3000;

 protected:
  void Execute() override;

 private:
  void Log(std::wstring S) const;
  void Log(std::vector<std::wstring> lines) const;  // in one go: nothing comes between them
  void LogAddressesIfChanged(std::uint16_t port);
  void CloseListenSock() noexcept;
  [[nodiscard]] bool BindPort(SOCKET s, std::uint16_t port);
  void Serve(SOCKET client, std::uint16_t port);
  [[nodiscard]] bool Admit(SOCKET client, const sockaddr_in& peer);

  const std::int32_t FPort;
  const TStrProc FOnBarcode;
  const TStrProc FOnLog;
  const std::shared_ptr<TConnectionGate> FGate;
  std::atomic<SOCKET> FListenSock{INVALID_SOCKET};
  UniqueKernelHandle FStopEvent;  // set by Stop: a wait of the body ends at once
  std::atomic<bool> FActive{false};
  std::mutex FAddressesMu;  // address changes are told on the system's threads
  std::vector<std::uint32_t> FAddresses;  // the last logged, sorted
};

}  // namespace qm
