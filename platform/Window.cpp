#include "platform/Window.h"

#include "platform/ErrorReport.h"

namespace qm {

TWindow::~TWindow() {
  if (wnd_) {
    ::SetWindowLongPtrW(wnd_, GWLP_USERDATA, 0);
    ::DestroyWindow(wnd_);
  }
}

bool TWindow::CreateWnd(const WNDCLASSEXW& cls, DWORD exStyle, const wchar_t* title, DWORD style,
                        int x, int y, int w, int h, HWND parent) {
  WNDCLASSEXW wc = cls;
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &StaticWndProc;
  if (!wc.hInstance) wc.hInstance = ::GetModuleHandleW(nullptr);
  WNDCLASSEXW existing{};
  if (!::GetClassInfoExW(wc.hInstance, wc.lpszClassName, &existing)) ::RegisterClassExW(&wc);
  HWND wnd = ::CreateWindowExW(exStyle, wc.lpszClassName, title, style, x, y, w, h, parent, nullptr,
                               wc.hInstance, this);
  return wnd != nullptr;
}

LRESULT TWindow::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) { return Default(msg, wp, lp); }

LRESULT CALLBACK TWindow::StaticWndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  TWindow* self;
  if (msg == WM_NCCREATE) {
    self = static_cast<TWindow*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
    self->wnd_ = wnd;
    ::SetWindowLongPtrW(wnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
  } else {
    self = reinterpret_cast<TWindow*>(::GetWindowLongPtrW(wnd, GWLP_USERDATA));
  }
  if (!self) return ::DefWindowProcW(wnd, msg, wp, lp);
  LRESULT result = 0;
  try {
    result = self->HandleMessage(msg, wp, lp);
  } catch (...) {
    ReportCurrentException();
  }
  if (msg == WM_NCDESTROY) {
    ::SetWindowLongPtrW(wnd, GWLP_USERDATA, 0);
    self->wnd_ = nullptr;
  }
  return result;
}

}  // namespace qm
