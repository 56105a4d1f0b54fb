#pragma once
// A worker thread: constructed without running, started by its creator, with
// a terminate flag that other threads set. A body asked to terminate before
// it begins does not run; a failure inside a body never reaches the user.
#include <windows.h>

#include <atomic>
#include <cstddef>

#include "platform/UniqueHandle.h"

namespace qm {

class TWorkerThread {
 public:
  TWorkerThread(const TWorkerThread&) = delete;
  TWorkerThread& operator=(const TWorkerThread&) = delete;
  virtual ~TWorkerThread() = default;

  // Starts the body. A thread that frees itself may be gone when this
  // returns. False when the system could not create the thread; the object
  // then still belongs to the caller, whatever FreeOnTerminate says.
  [[nodiscard]] bool Start();

  // Sets the terminate flag; the body reads it. Never waits.
  void Terminate() noexcept { terminated_.store(true); }
  bool Terminated() const noexcept { return terminated_.load(); }

  // Blocks until the body has ended (threads that do not free themselves).
  void WaitFor();

  // Tests make thread creation fail through this; the system's CreateThread
  // cannot be made to fail on demand.
  using CreateThreadFn = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE,
                                         LPVOID, DWORD, LPDWORD);
  static void SetCreateThreadForTest(CreateThreadFn fn) noexcept;

 protected:
  // stackReserve 0 takes the executable's default stack.
  explicit TWorkerThread(bool freeOnTerminate, std::size_t stackReserve = 0)
      : freeOnTerminate_(freeOnTerminate), stackReserve_(stackReserve) {}
  virtual void Execute() = 0;

 private:
  static DWORD WINAPI ThreadProc(LPVOID self);

  std::atomic<bool> terminated_{false};
  const bool freeOnTerminate_;
  const std::size_t stackReserve_;
  UniqueKernelHandle thread_;
};

}  // namespace qm
