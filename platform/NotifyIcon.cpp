#include "platform/NotifyIcon.h"

namespace qm {
namespace {

void CopyInto(wchar_t* dst, std::size_t cap, const std::wstring& s) {
  std::size_t n = s.size() < cap - 1 ? s.size() : cap - 1;
  s.copy(dst, n);
  dst[n] = L'\0';
}

}  // namespace

void TNotifyIcon::Add(HWND owner, UINT id, UINT callbackMsg, HICON icon, const std::wstring& tip) {
  data_ = NOTIFYICONDATAW{};
  data_.cbSize = sizeof(data_);
  data_.hWnd = owner;
  data_.uID = id;
  data_.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP | NIF_SHOWTIP;
  data_.uCallbackMessage = callbackMsg;
  data_.hIcon = icon;
  CopyInto(data_.szTip, ARRAYSIZE(data_.szTip), tip);
  added_ = true;
  Readd();
}

void TNotifyIcon::Readd() {
  if (!added_) return;
  NOTIFYICONDATAW d = data_;
  d.uFlags &= ~NIF_INFO;
  ::Shell_NotifyIconW(NIM_ADD, &d);
  d.uVersion = NOTIFYICON_VERSION_4;
  ::Shell_NotifyIconW(NIM_SETVERSION, &d);
}

void TNotifyIcon::SetTip(const std::wstring& tip) {
  CopyInto(data_.szTip, ARRAYSIZE(data_.szTip), tip);
  if (!added_) return;
  NOTIFYICONDATAW d = data_;
  d.uFlags = NIF_TIP | NIF_SHOWTIP;
  ::Shell_NotifyIconW(NIM_MODIFY, &d);
}

void TNotifyIcon::ShowBalloon(const std::wstring& text, const std::wstring& title, UINT timeoutMs) {
  if (!added_) return;
  NOTIFYICONDATAW d = data_;
  d.uFlags = NIF_INFO;
  CopyInto(d.szInfo, ARRAYSIZE(d.szInfo), text);
  CopyInto(d.szInfoTitle, ARRAYSIZE(d.szInfoTitle), title);
  d.dwInfoFlags = NIIF_NONE;
  d.uTimeout = timeoutMs;
  ::Shell_NotifyIconW(NIM_MODIFY, &d);
}

void TNotifyIcon::Remove() {
  if (!added_) return;
  added_ = false;
  ::Shell_NotifyIconW(NIM_DELETE, &data_);
}

}  // namespace qm
