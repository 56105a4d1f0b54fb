#pragma once
// The listener thread and the per-connection reader threads.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "net/ConnectionRules.h"
#include "net/LineFraming.h"
#include "net/ReplyChannel.h"
#include "platform/SharedTypes.h"
#include "platform/UniqueHandle.h"
#include "platform/WorkerThread.h"

namespace qm {

// Serves one accepted connection: frames its bytes into lines and queues each
// line for FOnBarcode on the main thread, and sends back the replies the main
// thread gives while AReplies is set. Frees itself when its body ends.
class TClientThread final : public TWorkerThread {
 public:
  // Takes a Winsock reference of its own, so a stop of the listener does not
  // reset the connection under it. The connection counts as open on
  // localPort, the listening port it came in on, while the reader lives.
  // What the log should hear of it goes to AOnLog, paced by AGate, in which
  // the listener enters it (Key()) before it starts.
  TClientThread(SOCKET AClientSock, TLineProc AOnBarcode, std::uint16_t localPort = 0, TStrProc AOnLog = nullptr,
                std::shared_ptr<TConnectionGate> AGate = nullptr, std::uint32_t peer = 0,
                std::shared_ptr<const std::atomic<bool>> AReplies = nullptr);
  ~TClientThread() override;

  // The object could be made whole (it has its wake-up event).
  bool Ready() const noexcept { return static_cast<bool>(FWake); }
  std::uintptr_t Key() const noexcept { return reinterpret_cast<std::uintptr_t>(this); }
  // Under the gate's lock: the connection was closed to make room. Its
  // reader ends as after a close by the peer.
  void Evict() noexcept;
  // Refused before it started: the peer gets a reset, not a close.
  void Abort() noexcept;

  // Connections whose readers live, by the port they came in on, and how
  // long ago the last one there ended.
  static std::size_t OpenOnPort(std::uint16_t port);
  static std::optional<std::uint64_t> MsSinceLastEndedOn(std::uint16_t port);

  static constexpr std::size_t kStackReserve = 64 * 1024;
  static constexpr DWORD kCarryIdleMs = 250;
  // A peer that vanished without closing is probed after a minute of
  // silence and given up after five unanswered probes (ten where the system
  // fixes the count), so its reader ends within two to three minutes.
  static constexpr DWORD kKeepAliveIdleS = 60, kKeepAliveIntervalS = 10, kKeepAliveProbes = 5;
  // Once the peer has closed its sending side, its replies are still sent
  // while lines are answered or bytes leave, but no longer than this after
  // the last of either.
  static constexpr DWORD kReplyDrainIdleMs = 30000;

 protected:
  void Execute() override;

 private:
  enum class TEnd { kClosed, kMalformed, kHttp };
  TEnd Read(TLineFramer& framer, TRequestGuard& guard);
  // false: the lines are a web request, and nothing may be queued.
  [[nodiscard]] bool Hand(TLineFramer::Lines& lines, TRequestGuard& guard, const TLineFramer& framer);
  void QueueLines(TLineFramer::Lines& lines);
  void Note(TConnectionNote note) const;
  void SendReplies();
  void DrainReplies();

  SOCKET FClientSock;
  const TLineProc FOnBarcode;
  const std::uint16_t FLocalPort;
  const TStrProc FOnLog;
  const std::shared_ptr<TConnectionGate> FGate;
  const std::uint32_t FPeer;
  const std::shared_ptr<const std::atomic<bool>> FReplies;
  UniqueKernelHandle FWake;  // the socket's events, Evict, and replies to send
  std::shared_ptr<TReplyChannel> FReply;  // while FReplies exists
  std::atomic<bool> FEvicted{false};
  bool FWinsockRef = false;
};

// Owns the listening socket; hands every accepted connection that AGate
// admits (all of them without a gate) to a new reader.
class TBarcodeServer final : public TWorkerThread {
 public:
  // Without a gate the listener has one of its own: the bounds on
  // connections hold all the same.
  TBarcodeServer(std::int32_t APort, TStrProc AOnBarcode, TStrProc AOnLog,
                 std::shared_ptr<TConnectionGate> AGate = nullptr);
  // Lines come with their sender; while AReplies is set, each line queued
  // carries the channel for its reply.
  TBarcodeServer(std::int32_t APort, TLineProc AOnBarcode, TStrProc AOnLog, std::shared_ptr<TConnectionGate> AGate,
                 std::shared_ptr<const std::atomic<bool>> AReplies);
  ~TBarcodeServer() override;

  // Main thread: asks the body to end; a wait of the body ends at once.
  // Does not wait.
  void Stop();

  std::int32_t Port() const noexcept { return FPort; }
  // Listening on its port, or waiting for its own earlier connections to
  // let go of it; false before that and once the body has ended.
  bool Active() const noexcept { return FActive.load(); }

  static constexpr DWORD kBindRetryMs = 3000;
  // How often the count of log lines held back is looked at.
  static constexpr DWORD kSummaryCheckMs = 15000;

 protected:
  void Execute() override;

 private:
  void Log(std::wstring S) const;
  void Log(std::vector<std::wstring> lines) const;  // in one go: nothing comes between them
  void Log(const TConnectionGate::Lines& lines) const;
  void LogAddressesIfChanged(std::uint16_t port);
  void CloseListenSock() noexcept;
  [[nodiscard]] bool BindPort(SOCKET s, std::uint16_t port);
  void Serve(SOCKET client, std::uint16_t port, std::uint32_t from);
  [[nodiscard]] bool Admit(SOCKET client, std::uint32_t from);
  void AcceptAll(SOCKET s, std::uint16_t port);

  const std::int32_t FPort;
  const TLineProc FOnBarcode;
  const TStrProc FOnLog;
  const std::shared_ptr<TConnectionGate> FGate;
  const std::shared_ptr<const std::atomic<bool>> FReplies;
  std::atomic<SOCKET> FListenSock{INVALID_SOCKET};
  UniqueKernelHandle FStopEvent;  // set by Stop: a wait of the body ends at once
  std::atomic<bool> FActive{false};
  std::mutex FAddressesMu;  // address changes are told on the system's threads
  std::vector<std::uint32_t> FAddresses;  // the last logged, sorted
};

}  // namespace qm
