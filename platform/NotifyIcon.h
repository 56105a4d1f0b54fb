#pragma once
// A notification-area icon owned by one window.
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace qm {

// Shell_NotifyIconW through a table that tests swap: the shell's refusals
// (at log-on, before it is ready; a call that timed out) cannot be caused on
// demand, and Wine's shell takes every icon. So does the message filter that
// lets the shell's messages reach an elevated window: Wine has no UIPI.
struct TShellFunctions {
  BOOL(WINAPI* NotifyIcon)(DWORD message, PNOTIFYICONDATAW data);
  BOOL(WINAPI* ChangeWindowMessageFilterEx)(HWND wnd, UINT message, DWORD action, PCHANGEFILTERSTRUCT status);
};

// The table in use; by default the system's function.
TShellFunctions& ShellFunctions() noexcept;
const TShellFunctions& SystemShellFunctions() noexcept;

class TNotifyIcon {
 public:
  // Mouse events arrive at owner as callbackMsg (NOTIFYICON_VERSION_4 form:
  // LOWORD(lParam) the event, wParam the point). False when the shell did
  // not take the icon; Readd tries again.
  [[nodiscard]] bool Add(HWND owner, UINT id, UINT callbackMsg, HICON icon, const std::wstring& tip);
  void SetTip(const std::wstring& tip);
  // Text and title, no icon; the display time is a request to the shell.
  void ShowBalloon(const std::wstring& text, const std::wstring& title, UINT timeoutMs);
  // After the shell's taskbar was re-created, or an add failed. False when
  // the shell did not take the icon.
  [[nodiscard]] bool Readd();
  void Remove();
  // The shell has taken the icon: the window may hide behind it.
  bool Shown() const noexcept { return shown_; }

 private:
  NOTIFYICONDATAW data_{};
  bool added_ = false;  // wanted in the notification area
  bool shown_ = false;
};

}  // namespace qm
