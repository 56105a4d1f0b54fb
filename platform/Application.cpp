#include "platform/Application.h"

#include <atomic>
#include <vector>

#include "platform/TextRules.h"
#include "platform/WideText.h"

namespace qm {
namespace {

std::atomic<bool> g_terminated{false};
HWND g_dialogWnd = nullptr;

char16_t SystemLower(char16_t c) {
  wchar_t w = static_cast<wchar_t>(c);
  ::CharLowerBuffW(&w, 1);
  return static_cast<char16_t>(w);
}

}  // namespace

std::wstring TApplication::ExePath() {
  // Grow the buffer so long paths are not cut off.
  std::vector<wchar_t> buf(MAX_PATH + 1);
  for (;;) {
    DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return std::wstring();
    if (n < buf.size()) return std::wstring(buf.data(), n);
    buf.resize(buf.size() * 2);
  }
}

std::wstring TApplication::ExeDir() {
  std::wstring path = ExePath();
  std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
}

const std::wstring& TApplication::Title() {
  static const std::wstring title = ToWide(ApplicationTitleFromPath(ToU16(ExePath()), &SystemLower));
  return title;
}

void TApplication::Terminate() noexcept {
  g_terminated = true;
  ::PostQuitMessage(0);
}

bool TApplication::Terminated() noexcept { return g_terminated; }

void TApplication::SetDialogWindow(HWND wnd) noexcept { g_dialogWnd = wnd; }

void TApplication::Run() {
  MSG msg;
  while (!g_terminated) {
    BOOL r = ::GetMessageW(&msg, nullptr, 0, 0);
    if (r == 0 || r == -1) {
      g_terminated = true;
      break;
    }
    if (g_dialogWnd && ::IsDialogMessageW(g_dialogWnd, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
}

}  // namespace qm
