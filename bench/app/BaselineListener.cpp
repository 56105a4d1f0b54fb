// The least a listening tray program does: a window, a listening socket on
// the port given as the only argument, and a message loop.
#include <winsock2.h>
#include <windows.h>

#include <cwchar>

int WINAPI wWinMain(HINSTANCE inst, HINSTANCE, PWSTR cmd, int show) {
  WSADATA d;
  ::WSAStartup(MAKEWORD(2, 2), &d);
  WNDCLASSW wc{};
  wc.lpfnWndProc = &::DefWindowProcW;
  wc.hInstance = inst;
  wc.lpszClassName = L"BaselineListener";
  ::RegisterClassW(&wc);
  HWND wnd = ::CreateWindowW(wc.lpszClassName, L"Baseline", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                             CW_USEDEFAULT, 560, 420, nullptr, nullptr, inst, nullptr);
  ::ShowWindow(wnd, show);
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(static_cast<u_short>(std::wcstol(cmd, nullptr, 10)));
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  ::listen(s, SOMAXCONN);
  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) ::DispatchMessageW(&msg);
  return 0;
}
