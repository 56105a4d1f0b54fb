#include "platform/MainThreadQueue.h"

#include <deque>
#include <mutex>

#include "platform/ErrorReport.h"
#include "platform/Messages.h"

namespace qm {
namespace {

constexpr UINT_PTR kContinueTimer = 1;
constexpr DWORD kSliceMs = 30;  // then let input and painting in

struct QueueState {
  std::mutex mu;
  std::deque<TMainThreadQueue::Call> items;
  bool signalled = false;  // a wake-up is on its way or a drain is running
  HWND wnd = nullptr;
  bool busy = false;       // main thread only
};

// Never destroyed: readers may still queue while the process exits.
QueueState& State() {
  static QueueState* s = new QueueState;
  return *s;
}

// Wakes the drain again soon. Input and paint waiting now go first, or a
// steady stream of posted wake-ups would starve them.
void Continue(HWND wnd) {
  if (HIWORD(::GetQueueStatus(QS_INPUT | QS_PAINT)) == 0 &&
      ::PostMessageW(wnd, WM_QM_QUEUE_WAKE, 0, 0))
    return;
  ::SetTimer(wnd, kContinueTimer, USER_TIMER_MINIMUM, nullptr);
}

void Drain() {
  QueueState& s = State();
  if (s.busy) return;  // the running call resumes the drain when it returns
  s.busy = true;
  const DWORD start = ::GetTickCount();
  for (;;) {
    TMainThreadQueue::Call call;
    {
      std::lock_guard<std::mutex> lock(s.mu);
      if (s.items.empty()) {
        s.signalled = false;
        break;
      }
      call = std::move(s.items.front());
      s.items.pop_front();
    }
    try {
      call();
    } catch (...) {
      // The box runs a modal loop: let the rest of the queue run inside it.
      s.busy = false;
      Continue(s.wnd);
      ReportCurrentException();
      s.busy = true;
    }
    call = nullptr;  // its captures are released before the next call runs
    if (::GetTickCount() - start >= kSliceMs) {
      std::lock_guard<std::mutex> lock(s.mu);
      if (s.items.empty()) {
        s.signalled = false;
      } else {
        Continue(s.wnd);
      }
      break;
    }
  }
  s.busy = false;
}

LRESULT CALLBACK QueueWndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == WM_QM_QUEUE_WAKE) {
    Drain();
    return 0;
  }
  if (msg == WM_TIMER && wp == kContinueTimer) {
    ::KillTimer(wnd, kContinueTimer);
    Drain();
    return 0;
  }
  if (msg == WM_QM_QUEUE_MARK) return 0;  // a pump that ended early left it behind
  return ::DefWindowProcW(wnd, msg, wp, lp);
}

}  // namespace

void TMainThreadQueue::Initialize() {
  QueueState& s = State();
  if (s.wnd) return;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &QueueWndProc;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = L"QuillmereMainThreadQueue";
  ::RegisterClassExW(&wc);
  HWND wnd = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                               wc.hInstance, nullptr);
  std::lock_guard<std::mutex> lock(s.mu);
  s.wnd = wnd;
  if (!s.items.empty()) {
    s.signalled = true;
    ::PostMessageW(wnd, WM_QM_QUEUE_WAKE, 0, 0);
  }
}

void TMainThreadQueue::Finalize() {
  QueueState& s = State();
  std::deque<Call> dropped;
  HWND wnd;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    dropped.swap(s.items);
    wnd = s.wnd;
    s.wnd = nullptr;
    s.signalled = false;
  }
  if (wnd) ::DestroyWindow(wnd);
}

void TMainThreadQueue::Queue(Call call) {
  QueueState& s = State();
  HWND wnd;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    s.items.push_back(std::move(call));
    if (s.signalled) return;
    s.signalled = true;
    wnd = s.wnd;
  }
  if (!wnd || !::PostMessageW(wnd, WM_QM_QUEUE_WAKE, 0, 0)) {
    std::lock_guard<std::mutex> lock(s.mu);
    s.signalled = false;  // the next Queue tries again
  }
}

bool TMainThreadQueue::InQueuedCall() noexcept { return State().busy; }

void TMainThreadQueue::HandlePendingMessages() {
  QueueState& s = State();
  // Everything posted before the marker is what waited when we began.
  bool marked = s.wnd && ::PostMessageW(s.wnd, WM_QM_QUEUE_MARK, 0, 0);
  const DWORD start = ::GetTickCount();
  MSG msg;
  for (int handled = 0; handled < 10000 && ::GetTickCount() - start < 1000; ++handled) {
    if (!::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) break;
    if (msg.message == WM_QUIT) {
      ::PostQuitMessage(static_cast<int>(msg.wParam));  // for the loop that owns it
      break;
    }
    if (marked && msg.hwnd == s.wnd && msg.message == WM_QM_QUEUE_MARK) break;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

std::size_t TMainThreadQueue::PendingCount() {
  QueueState& s = State();
  std::lock_guard<std::mutex> lock(s.mu);
  return s.items.size();
}

}  // namespace qm
