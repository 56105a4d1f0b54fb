#pragma once
// Runs calls on the main thread, in queue order, whenever the main thread
// dispatches messages: in the application's loop and in every modal loop.
#include <windows.h>

#include <cstddef>
#include <functional>

namespace qm {

class TMainThreadQueue {
 public:
  using Call = std::function<void()>;

  // On the main thread, before any worker starts.
  static void Initialize();
  // On the main thread at exit: calls still waiting are dropped.
  static void Finalize();

  // Any thread; never waits. The call must carry copies of what it needs.
  static void Queue(Call call);

  // True while a queued call runs; dispatches nested inside it do not start
  // another queued call, so queued work runs strictly one call at a time.
  static bool InQueuedCall() noexcept;

  // Handles the window messages waiting now (sent, posted, input) and
  // returns; queued calls that become due meanwhile wait for their turn.
  // It always ends, however fast workers keep queuing.
  static void HandlePendingMessages();

  static std::size_t PendingCount();
};

}  // namespace qm
