// The benchmark's baseline: receives lines on a TCP port and sets each into
// one control with WM_SETTEXT, nothing else.
//   BaselineReceiver.exe PORT HWND(hex)
#include <winsock2.h>
#include <windows.h>

#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const auto port = static_cast<u_short>(std::atoi(argv[1]));
  HWND control = reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::strtoull(argv[2], nullptr, 16)));
  WSADATA wsa;
  if (::WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return 3;
  SOCKET listener = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(port);
  a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  if (::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0 || ::listen(listener, 1) != 0) return 4;
  SOCKET s = ::accept(listener, nullptr, nullptr);
  ::closesocket(listener);
  std::string pending;
  char buf[4096];
  for (int n; (n = ::recv(s, buf, sizeof(buf), 0)) > 0;) {
    pending.append(buf, static_cast<std::size_t>(n));
    for (std::size_t nl; (nl = pending.find('\n')) != std::string::npos; pending.erase(0, nl + 1)) {
      std::string line = pending.substr(0, nl);
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::wstring text(line.size(), L'\0');
      text.resize(static_cast<std::size_t>(::MultiByteToWideChar(
          CP_UTF8, 0, line.data(), static_cast<int>(line.size()), text.data(), static_cast<int>(text.size()))));
      ::SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
  }
  ::closesocket(s);
  ::WSACleanup();
  return 0;
}
