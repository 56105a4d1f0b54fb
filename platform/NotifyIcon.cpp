#include "platform/NotifyIcon.h"

namespace qm {
namespace {

void CopyInto(wchar_t* dst, std::size_t cap, const std::wstring& s) {
  std::size_t n = s.size() < cap - 1 ? s.size() : cap - 1;
  s.copy(dst, n);
  dst[n] = L'\0';
}

}  // namespace

const TShellFunctions& SystemShellFunctions() noexcept {
  static const TShellFunctions system{&::Shell_NotifyIconW, &::ChangeWindowMessageFilterEx};
  return system;
}

TShellFunctions& ShellFunctions() noexcept {
  static TShellFunctions current = SystemShellFunctions();
  return current;
}

bool TNotifyIcon::Add(HWND owner, UINT id, UINT callbackMsg, HICON icon, const std::wstring& tip) {
  data_ = NOTIFYICONDATAW{};
  data_.cbSize = sizeof(data_);
  data_.hWnd = owner;
  data_.uID = id;
  data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
  data_.uCallbackMessage = callbackMsg;
  data_.hIcon = icon;
  CopyInto(data_.szTip, ARRAYSIZE(data_.szTip), tip);
  added_ = true;
  NOTIFYICONDATAW d = data_;
  shown_ = ShellFunctions().NotifyIcon(NIM_ADD, &d) != FALSE;
  if (shown_) {
    d.uVersion = NOTIFYICON_VERSION_4;
    ShellFunctions().NotifyIcon(NIM_SETVERSION, &d);
  }
  return shown_;
}

bool TNotifyIcon::Readd() {
  if (!added_) return false;
  NOTIFYICONDATAW d = data_;
  d.uFlags &= ~NIF_INFO;
  const auto notify = ShellFunctions().NotifyIcon;
  // An add that timed out may have added the icon all the same, and adding
  // it again would fail: modify it first.
  shown_ = notify(NIM_MODIFY, &d) || notify(NIM_ADD, &d);
  if (shown_) {
    d.uVersion = NOTIFYICON_VERSION_4;
    notify(NIM_SETVERSION, &d);
  }
  return shown_;
}

void TNotifyIcon::SetTip(const std::wstring& tip) {
  CopyInto(data_.szTip, ARRAYSIZE(data_.szTip), tip);
  if (!shown_) return;  // the next add carries it
  NOTIFYICONDATAW d = data_;
  d.uFlags = NIF_TIP | NIF_SHOWTIP;
  ShellFunctions().NotifyIcon(NIM_MODIFY, &d);
}

void TNotifyIcon::ShowBalloon(const std::wstring& text, const std::wstring& title, UINT timeoutMs) {
  if (!shown_) return;
  NOTIFYICONDATAW d = data_;
  d.uFlags = NIF_INFO;
  CopyInto(d.szInfo, ARRAYSIZE(d.szInfo), text);
  CopyInto(d.szInfoTitle, ARRAYSIZE(d.szInfoTitle), title);
  d.dwInfoFlags = NIIF_NONE;
  d.uTimeout = timeoutMs;
  ShellFunctions().NotifyIcon(NIM_MODIFY, &d);
}

void TNotifyIcon::Remove() {
  if (!added_) return;
  added_ = false;
  shown_ = false;
  // Also when no add was confirmed: one that timed out may have added it.
  ShellFunctions().NotifyIcon(NIM_DELETE, &data_);
}

}  // namespace qm
