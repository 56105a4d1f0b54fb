#pragma once
// A notification-area icon owned by one window.
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace qm {

class TNotifyIcon {
 public:
  // Mouse events arrive at owner as callbackMsg (NOTIFYICON_VERSION_4 form:
  // LOWORD(lParam) the event, wParam the point).
  void Add(HWND owner, UINT id, UINT callbackMsg, HICON icon, const std::wstring& tip);
  void SetTip(const std::wstring& tip);
  // Text and title, no icon; the display time is a request to the shell.
  void ShowBalloon(const std::wstring& text, const std::wstring& title, UINT timeoutMs);
  // After the shell's taskbar was re-created.
  void Readd();
  void Remove();
  bool Visible() const noexcept { return added_; }

 private:
  NOTIFYICONDATAW data_{};
  bool added_ = false;
};

}  // namespace qm
