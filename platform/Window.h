#pragma once
// A thin window base: the static procedure finds the object through
// GWLP_USERDATA and forwards to HandleMessage, which routes each message.
// No exception leaves a window procedure: it goes to the error report.
#include <windows.h>

namespace qm {

class TWindow {
 public:
  TWindow(const TWindow&) = delete;
  TWindow& operator=(const TWindow&) = delete;
  virtual ~TWindow();

  HWND Handle() const noexcept { return wnd_; }

 protected:
  TWindow() = default;

  // Registers the class (once per process; the procedure is always ours)
  // and creates the window. False when the window could not be created.
  [[nodiscard]] bool CreateWnd(const WNDCLASSEXW& cls, DWORD exStyle, const wchar_t* title,
                               DWORD style, int x, int y, int w, int h, HWND parent);

  virtual LRESULT HandleMessage(UINT msg, WPARAM wp, LPARAM lp);
  LRESULT Default(UINT msg, WPARAM wp, LPARAM lp) { return ::DefWindowProcW(wnd_, msg, wp, lp); }

 private:
  static LRESULT CALLBACK StaticWndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
  HWND wnd_ = nullptr;
};

}  // namespace qm
