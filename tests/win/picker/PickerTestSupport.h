#pragma once
// Helpers for the picker's tests under Wine: steps that run inside the
// picker's own message loop, real synthesized input, the cursor's counter.
#include <windows.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "picker/UFocusPicker.h"

namespace qm {

struct TFocusPickerTestAccess {
  static std::unique_ptr<TFocusPickerForm> Create(TOnFocusPicked onPicked) {
    return std::unique_ptr<TFocusPickerForm>(new TFocusPickerForm(std::move(onPicked)));
  }
  static void OverrideArea(const TPickRect* area) { TFocusPickerForm::OverrideArea(area); }
};

}  // namespace qm

namespace qmtest {

// The virtual screen the run was started with: QM_PICKER_SCREEN ("WxH"),
// 1920 x 1080 when unset.
inline SIZE ExpectedScreen() {
  SIZE s{1920, 1080};
  if (const char* v = std::getenv("QM_PICKER_SCREEN")) {
    char* end = nullptr;
    s.cx = std::strtol(v, &end, 10);
    if (end && *end == 'x') s.cy = std::strtol(end + 1, nullptr, 10);
  }
  return s;
}

// The cursor's display counter, left as it was.
inline int CursorCounter() {
  const int c = ::ShowCursor(TRUE) - 1;
  ::ShowCursor(FALSE);
  return c;
}

inline void PressKey(BYTE vk) {
  ::keybd_event(vk, 0, 0, 0);
  ::keybd_event(vk, 0, KEYEVENTF_KEYUP, 0);
}

inline void ClickButton(DWORD down, DWORD up) {
  ::mouse_event(down, 0, 0, 0, 0);
  ::mouse_event(up, 0, 0, 0, 0);
}

inline POINT CursorPos() {
  POINT p{};
  ::GetCursorPos(&p);
  return p;
}

inline HWND FindOverlay() { return ::FindWindowW(L"FocusPickerOv3", nullptr); }

// Steps run one after another from a thread timer, which whatever loop the
// thread is in dispatches (the picker's, during a pick). A step returns true
// when it is done. If the steps have not finished within the time limit the
// pick is ended with a quit message, so a broken picker fails, not hangs.
class TPickScript {
 public:
  using Step = std::function<bool()>;

  explicit TPickScript(DWORD limitMs = 10000) : limitMs_(limitMs) {}
  ~TPickScript() { Stop(); }

  TPickScript& Then(Step step) {
    steps_.push_back(std::move(step));
    return *this;
  }
  TPickScript& Do(std::function<void()> f) {
    return Then([f] {
      f();
      return true;
    });
  }
  // Waits until pred holds; a pause of ms once it does lets input settle.
  TPickScript& WaitFor(std::function<bool()> pred, DWORD settleMs = 0) {
    Then(std::move(pred));
    if (settleMs) Pause(settleMs);
    return *this;
  }
  TPickScript& Pause(DWORD ms) {
    auto until = std::make_shared<DWORD>(0);
    return Then([until, ms] {
      if (!*until) *until = ::GetTickCount() + ms;
      return static_cast<LONG>(::GetTickCount() - *until) >= 0;
    });
  }

  void Start() {
    current_ = this;
    started_ = ::GetTickCount();
    timer_ = ::SetTimer(nullptr, 0, 10, &Tick);
  }
  void Stop() {
    if (timer_) ::KillTimer(nullptr, timer_);
    timer_ = 0;
    if (current_ == this) current_ = nullptr;
  }
  bool Finished() const { return next_ == steps_.size(); }
  bool TimedOut() const { return timedOut_; }

 private:
  static void CALLBACK Tick(HWND, UINT, UINT_PTR, DWORD) {
    TPickScript* s = current_;
    if (!s || s->busy_) return;  // a step that pumps messages must not re-enter
    if (s->Finished()) return;
    if (::GetTickCount() - s->started_ > s->limitMs_) {
      s->timedOut_ = true;
      s->next_ = s->steps_.size();
      ::PostQuitMessage(0);
      return;
    }
    s->busy_ = true;
    const bool done = s->steps_[s->next_]();
    s->busy_ = false;
    if (done) ++s->next_;
  }

  static inline TPickScript* current_ = nullptr;
  std::vector<Step> steps_;
  std::size_t next_ = 0;
  DWORD limitMs_;
  DWORD started_ = 0;
  UINT_PTR timer_ = 0;
  bool busy_ = false;
  bool timedOut_ = false;
};

}  // namespace qmtest
