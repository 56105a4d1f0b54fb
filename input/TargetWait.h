#pragma once
// The waits for a target to handle what a delivery sent it, the markers that
// show when it has, and what is known of targets that did not answer or are
// out of reach. Main thread only.
#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

#include "input/DeliveryRules.h"
#include "platform/UniqueHandle.h"

namespace qm {

// A call that may block for long (a message whose handler takes long, a
// file write), made on a helper thread while this thread waits for it with
// its messages handled. A wait that gives up leaves the call to finish.
class THelperCall {
 public:
  THelperCall(std::function<void()> work, HANDLE signal) : work_(std::move(work)), signal_(signal) {}
  bool Done() const noexcept { return done_.load(std::memory_order_acquire); }
  // Set when a call of its helper is done, this one or another.
  HANDLE Signal() const noexcept { return signal_; }

 private:
  friend class THelper;
  std::function<void()> work_;
  HANDLE signal_;
  std::atomic<bool> done_{false};
};

// A helper thread. The calls given to one helper run in the order given.
class THelper {
 public:
  // A helper with nothing to do: another one is started when each is busy
  // with a call that a wait gave up.
  static THelper& Free();
  std::shared_ptr<THelperCall> Run(std::function<void()> work);

  THelper();
  THelper(const THelper&) = delete;
  THelper& operator=(const THelper&) = delete;

 private:
  struct TState;
  bool Busy() const;
  std::shared_ptr<TState> state_;
};

// Benchmarks turn the waits for the target off to measure what they cost.
void SetWaitForTarget(bool wait) noexcept;
bool WaitForTarget() noexcept;

// The marker of typed keys: an unassigned key pressed after them. The key
// state of a thread changes as it takes key messages from its input, and a
// thread attached to that input shares it: once the marker shows as down
// there, the target has handled every key before it, and the WM_CHAR
// messages they were translated into, which are posted and so go before
// further input. While attached, this thread's own input waits behind the
// target's: the marker lets go before any of it is handled.
//
// A marker is released before it is pressed again, and that release must
// have reached the target before the keys it is to follow go out. A marker
// whose target was given up on is released only before the next marker's
// keys: no key goes to such a target any more.
class TInputMarker {
 public:
  static constexpr BYTE kKey = 0xE8;

  // Attaching resets the shared key state, so it happens before any key.
  // The shared focus must then be the target's: were it one of ours, the
  // keys would go to it. thread 0: no marker.
  explicit TInputMarker(DWORD thread);
  ~TInputMarker();
  TInputMarker(const TInputMarker&) = delete;
  TInputMarker& operator=(const TInputMarker&) = delete;

  bool Attached() const noexcept { return attached_; }
  bool Pressed() const noexcept { return pressed_; }
  void Detach();
  // A marker the system does not let in is no marker: detached.
  void Press();
  void Release();
  void Abandon() noexcept { abandoned_ = true; }
  // The target's key state shows the marker down: it took every key before.
  bool Reached() const;

 private:
  const DWORD self_, thread_;
  bool attached_;
  bool pressed_ = false;
  bool abandoned_ = false;
};

// The waits for one target. They end when it is done, when Windows counts
// it as hung (no message taken for about 5 s), 10 s after the start
// (overdue), or when the program exits. Meanwhile this thread's messages are handled, so
// the program's window paints and answers; queued barcodes wait their turn.
class TTargetWait {
 public:
  explicit TTargetWait(HWND target);

  void WatchMarker(TInputMarker* marker) noexcept { marker_ = marker; }
  HWND Root() const noexcept { return root_; }

  TWaitEnd Check() const;
  DWORD Left() const;

  // Until done() holds; kTimedOut after limitMs when one is given. A
  // signal, when given, is what done() waits for.
  template <typename Done>
  TWaitEnd Until(Done done, DWORD limitMs = INFINITE, HANDLE signal = nullptr) {
    const DWORD begin = ::GetTickCount();
    for (;;) {
      if (done()) return TWaitEnd::kDone;
      if (const TWaitEnd end = Check(); end != TWaitEnd::kDone) return end;
      if (limitMs != INFINITE && ::GetTickCount() - begin >= limitMs) return TWaitEnd::kTimedOut;
      ::MsgWaitForMultipleObjectsEx(signal ? 1 : 0, &signal, signal ? 50 : 1, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      Pump();
    }
  }
  TWaitEnd UntilDone(const THelperCall& call) {
    return Until([&call] { return call.Done(); }, INFINITE, call.Signal());
  }

  // A message that only reads, or sets what it sets again harmlessly: sent
  // in slices, this thread's messages handled between them.
  TWaitEnd Ask(HWND wnd, UINT msg, WPARAM wp, LPARAM lp, DWORD_PTR& result);
  TWaitEnd RoundTrip(HWND wnd);

 private:
  void Pump();

  const HWND root_;
  const DWORD start_;
  TInputMarker* marker_ = nullptr;
  bool ended_ = false;
};

// Round trips to the target's thread; each one it answers has usually let
// it take one more message from its queue first. Only where nothing better
// can be observed.
TWaitEnd LetTargetCatchUp(HWND wnd, int trips, TTargetWait& wait);

// At exit: a marker left down for a target given up on is released.
void ReleaseAbandonedMarker();

// The window typed keys go to.
struct TTypingTarget {
  HWND Front = nullptr;  // the foreground window, of the target's process
  DWORD Thread = 0;      // its thread
  DWORD Pid = 0;
};
// Brings the window in front (never ownWnd) to the foreground, where typed
// keys land, and waits until it has activated itself; Entered() when keys
// may be typed now. None go to a window out of reach, to one that did not
// come to the front, or to a focused control that takes no text.
// pauseInFront: pause for the window already in front as for one brought there.
TDeliveryOutcome PrepareTyping(HWND ownWnd, TTypingTarget& target, bool pauseInFront = true);

// Until the target in front has taken every key typed so far: the marker,
// pressed behind them, shows it; without a marker, round trips to its focus.
TWaitEnd WaitKeysTaken(TInputMarker& marker, TTargetWait& wait, HWND front);
// Releases a marker that was pressed, before further keys go out.
TWaitEnd RearmMarker(TInputMarker& marker, TTargetWait& wait);

// Top-level windows given up on, until they answer again.
bool IsGivenUp(HWND root);
void GiveUp(HWND root);

// Whether a barcode may be tried on this window at all: not when Windows
// would drop our messages and keys (a higher integrity level), nor when it
// was given up on and still does not answer.
std::optional<TDeliveryOutcome> Unreachable(HWND wnd);
// The same for a top-level window of a process already known (pid not 0).
std::optional<TDeliveryOutcome> Unreachable(HWND root, DWORD pid);

}  // namespace qm
