#pragma once
// The listener thread and the per-connection reader threads.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>

#include "net/LineFraming.h"
#include "platform/SharedTypes.h"
#include "platform/WorkerThread.h"

namespace qm {

// Serves one accepted connection: frames its bytes into lines and queues each
// line for FOnBarcode on the main thread. Frees itself when its body ends.
class TClientThread final : public TWorkerThread {
 public:
  // Takes a Winsock reference of its own, so a stop of the listener does not
  // reset the connection under it.
  TClientThread(SOCKET AClientSock, TStrProc AOnBarcode);
  ~TClientThread() override;

  static constexpr std::size_t kStackReserve = 64 * 1024;
  static constexpr DWORD kCarryIdleMs = 250;

 protected:
  void Execute() override;

 private:
  void QueueLines(TLineFramer::Lines& lines);

  SOCKET FClientSock;
  const TStrProc FOnBarcode;
  bool FWinsockRef = false;
};

// Owns the listening socket; hands every accepted connection to a new reader.
class TBarcodeServer final : public TWorkerThread {
 public:
  TBarcodeServer(std::int32_t APort, TStrProc AOnBarcode, TStrProc AOnLog);
  ~TBarcodeServer() override;

  // Main thread: asks the body to end and closes the listening socket so a
  // blocked accept returns. Does not wait.
  void Stop();

 protected:
  void Execute() override;

 private:
  void Log(std::wstring S) const;
  void CloseListenSock() noexcept;
  void Serve(SOCKET client);

  const std::int32_t FPort;
  const TStrProc FOnBarcode;
  const TStrProc FOnLog;
  std::atomic<SOCKET> FListenSock{INVALID_SOCKET};
};

}  // namespace qm
