#include "E2eSupport.h"

#include <shellapi.h>

#include <cwctype>

#include "platform/WideText.h"

namespace qme2e {
namespace {

std::wstring Widen(const char* s) {
  std::wstring w;
  for (; *s; ++s) w.push_back(static_cast<unsigned char>(*s));
  return w;
}

std::wstring ClassOf(HWND w) {
  wchar_t buf[128] = {};
  ::GetClassNameW(w, buf, 128);
  return buf;
}

std::wstring GetText(HWND w) {
  DWORD_PTR len = 0;
  if (!::SendMessageTimeoutW(w, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 3000, &len)) return L"";
  std::wstring s(len + 1, L'\0');
  DWORD_PTR got = 0;
  ::SendMessageTimeoutW(w, WM_GETTEXT, s.size(), reinterpret_cast<LPARAM>(s.data()), SMTO_ABORTIFHUNG,
                        3000, &got);
  s.resize(got);
  return s;
}

struct FindChild {
  int id;
  HWND found = nullptr;
};

BOOL CALLBACK FindChildProc(HWND w, LPARAM lp) {
  auto* f = reinterpret_cast<FindChild*>(lp);
  if (::GetDlgCtrlID(w) == f->id) {
    f->found = w;
    return FALSE;
  }
  return TRUE;
}

struct FindTop {
  DWORD pid;
  const wchar_t* cls;
  bool visibleOnly;
  HWND found = nullptr;
};

BOOL CALLBACK FindTopProc(HWND w, LPARAM lp) {
  auto* f = reinterpret_cast<FindTop*>(lp);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(w, &pid);
  if (pid == f->pid && ClassOf(w) == f->cls && (!f->visibleOnly || ::IsWindowVisible(w))) {
    f->found = w;
    return FALSE;
  }
  return TRUE;
}

HWND FindTopWindow(DWORD pid, const wchar_t* cls, bool visibleOnly) {
  FindTop f{pid, cls, visibleOnly};
  ::EnumWindows(&FindTopProc, reinterpret_cast<LPARAM>(&f));
  return f.found;
}

void RemoveTree(const std::wstring& dir) {
  WIN32_FIND_DATAW fd;
  HANDLE h = ::FindFirstFileW((dir + L"*").c_str(), &fd);
  if (h != INVALID_HANDLE_VALUE) {
    do {
      std::wstring name = fd.cFileName;
      if (name == L"." || name == L"..") continue;
      std::wstring full = dir + name;
      if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        RemoveTree(full + L"\\");
      } else {
        ::SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(full.c_str());
      }
    } while (::FindNextFileW(h, &fd));
    ::FindClose(h);
  }
  ::RemoveDirectoryW(dir.c_str());
}

constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";

}  // namespace

std::wstring BuiltExePath() {
  // CMake knows the Linux path; Wine shows the Linux root as drive Z:.
  std::wstring p = Widen(QM_EXE_PATH);
  if (!p.empty() && p[0] == L'/') {
    for (wchar_t& c : p)
      if (c == L'/') c = L'\\';
    p = L"Z:" + p;
  }
  return p;
}

TTempDir::TTempDir(const std::wstring& nameHint) {
  wchar_t tmp[MAX_PATH];
  ::GetTempPathW(MAX_PATH, tmp);
  static unsigned counter = 0;
  for (;;) {
    path_ = std::wstring(tmp) + nameHint + L"-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
            std::to_wstring(++counter) + L"\\";
    if (::CreateDirectoryW(path_.c_str(), nullptr)) break;
  }
}

TTempDir::~TTempDir() { RemoveTree(path_); }

std::string ReadBytes(const std::wstring& file) {
  HANDLE h = ::CreateFileW(file.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::string();
  std::string out;
  char buf[4096];
  DWORD n = 0;
  while (::ReadFile(h, buf, sizeof(buf), &n, nullptr) && n > 0) out.append(buf, n);
  ::CloseHandle(h);
  return out;
}

bool WriteBytes(const std::wstring& file, const std::string& bytes) {
  HANDLE h = ::CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  DWORD n = 0;
  bool ok = ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) && n == bytes.size();
  ::CloseHandle(h);
  return ok;
}

bool FileExists(const std::wstring& file) {
  return ::GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// ---- TQuillmere --------------------------------------------------------------

TQuillmere::TQuillmere(const TTempDir& dir) : dir_(dir.Path()), exe_(dir.File(L"Quillmere.exe")) {
  ::CopyFileW(BuiltExePath().c_str(), exe_.c_str(), FALSE);
}

TQuillmere::~TQuillmere() {
  Kill();
  if (pi_.hThread) ::CloseHandle(pi_.hThread);
  if (pi_.hProcess) ::CloseHandle(pi_.hProcess);
}

bool TQuillmere::Start(int showCmd, DWORD waitMs) {
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESHOWWINDOW;
  si.wShowWindow = static_cast<WORD>(showCmd);
  std::wstring cmd = L"\"" + exe_ + L"\"";
  if (!::CreateProcessW(exe_.c_str(), cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, dir_.c_str(),
                        &si, &pi_))
    return false;
  pid_ = pi_.dwProcessId;
  return WaitFor([&] { return (main_ = FindTopWindow(pid_, L"TMainFrm", false)) != nullptr; }, waitMs);
}

bool TQuillmere::Running() const {
  return pi_.hProcess && ::WaitForSingleObject(pi_.hProcess, 0) == WAIT_TIMEOUT;
}

bool TQuillmere::WaitForExit(DWORD ms) {
  return pi_.hProcess && ::WaitForSingleObject(pi_.hProcess, ms) == WAIT_OBJECT_0;
}

void TQuillmere::Kill() {
  if (Running()) {
    ::TerminateProcess(pi_.hProcess, 9);
    ::WaitForSingleObject(pi_.hProcess, 5000);
  }
}

HWND TQuillmere::Control(int id) const {
  FindChild f{id};
  ::EnumChildWindows(main_, &FindChildProc, reinterpret_cast<LPARAM>(&f));
  return f.found;
}

std::wstring TQuillmere::Text(int id) const { return GetText(id == 0 ? main_ : Control(id)); }

void TQuillmere::SetText(int id, const std::wstring& text) {
  DWORD_PTR r;
  ::SendMessageTimeoutW(Control(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()),
                        SMTO_ABORTIFHUNG, 3000, &r);
}

bool TQuillmere::Checked(int id) const {
  DWORD_PTR r = 0;
  ::SendMessageTimeoutW(Control(id), BM_GETCHECK, 0, 0, SMTO_ABORTIFHUNG, 3000, &r);
  return r == BST_CHECKED;
}

void TQuillmere::PostClick(int id) { ::PostMessageW(Control(id), BM_CLICK, 0, 0); }

RECT TQuillmere::RectInParent(int id) const {
  HWND c = Control(id);
  RECT r{};
  ::GetWindowRect(c, &r);
  ::MapWindowPoints(nullptr, ::GetParent(c), reinterpret_cast<POINT*>(&r), 2);
  return r;
}

RECT TQuillmere::ClientRect() const {
  RECT r{};
  ::GetClientRect(main_, &r);
  return r;
}

std::vector<std::wstring> TQuillmere::Log() const {
  std::wstring all = Text(111);  // the log pane
  std::vector<std::wstring> lines;
  std::size_t at = 0;
  while (!all.empty() && at <= all.size()) {
    std::size_t br = all.find(L"\r\n", at);
    if (br == std::wstring::npos) {
      lines.push_back(all.substr(at));
      break;
    }
    lines.push_back(all.substr(at, br - at));
    at = br + 2;
  }
  return lines;
}

std::vector<std::wstring> TQuillmere::LogMessages() const {
  std::vector<std::wstring> out;
  for (const std::wstring& e : Log()) out.push_back(WithoutStamp(e));
  return out;
}

bool TQuillmere::WaitLog(const std::function<bool(const std::vector<std::wstring>&)>& pred,
                         DWORD ms) const {
  return WaitFor([&] { return pred(LogMessages()); }, ms);
}

bool TQuillmere::WaitLogContains(const std::wstring& message, DWORD ms) const {
  return WaitLog(
      [&](const std::vector<std::wstring>& log) {
        for (const auto& m : log)
          if (m == message) return true;
        return false;
      },
      ms);
}

// ---- Message boxes -------------------------------------------------------------

namespace {
BOOL CALLBACK CollectBoxChild(HWND w, LPARAM lp) {
  auto* box = reinterpret_cast<TMessageBox*>(lp);
  std::wstring cls = ClassOf(w);
  if (cls == L"Button") {
    box->buttons.push_back(GetText(w));
  } else if (cls == L"Static") {
    if (::IsWindowVisible(w) && (::GetWindowLongW(w, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      box->hasIcon = true;
    } else {
      std::wstring t = GetText(w);
      if (!t.empty()) box->text = t;
    }
  }
  return TRUE;
}
}  // namespace

std::optional<TMessageBox> WaitMessageBox(DWORD pid, DWORD ms) {
  HWND found = nullptr;
  if (!WaitFor([&] { return (found = FindTopWindow(pid, L"#32770", true)) != nullptr; }, ms))
    return std::nullopt;
  ::Sleep(100);  // let it finish its WM_INITDIALOG
  TMessageBox box;
  box.wnd = found;
  box.title = GetText(found);
  ::EnumChildWindows(found, &CollectBoxChild, reinterpret_cast<LPARAM>(&box));
  return box;
}

void PressOk(const TMessageBox& box) {
  HWND ok = ::GetDlgItem(box.wnd, IDOK);
  if (ok) ::PostMessageW(ok, BM_CLICK, 0, 0);
  else ::PostMessageW(box.wnd, WM_COMMAND, IDOK, 0);
}

bool WaitGone(HWND wnd, DWORD ms) {
  return WaitFor([&] { return !::IsWindow(wnd) || !::IsWindowVisible(wnd); }, ms);
}

// ---- Registry --------------------------------------------------------------------

std::optional<std::wstring> RunValue() {
  HKEY key;
  if (::RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
    return std::nullopt;
  wchar_t buf[2048];
  DWORD type = 0, size = sizeof(buf);
  LSTATUS st = ::RegQueryValueExW(key, L"Quillmere", nullptr, &type, reinterpret_cast<BYTE*>(buf), &size);
  ::RegCloseKey(key);
  if (st != ERROR_SUCCESS || type != REG_SZ) return std::nullopt;
  std::wstring v(buf, size / sizeof(wchar_t));
  if (!v.empty() && v.back() == L'\0') v.pop_back();
  return v;
}

void SetRunValue(const std::wstring& data) {
  HKEY key;
  ::RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr);
  ::RegSetValueExW(key, L"Quillmere", 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                   static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  ::RegCloseKey(key);
}

void DeleteRunValue() { ::RegDeleteKeyValueW(HKEY_CURRENT_USER, kRunKey, L"Quillmere"); }

// ---- Tray and input ----------------------------------------------------------------

namespace {
BOOL CALLBACK CollectTrayIcons(HWND w, LPARAM lp) {
  if (ClassOf(w) == L"__winex11_tray_icon" && ::IsWindowVisible(w))
    reinterpret_cast<std::vector<HWND>*>(lp)->push_back(w);
  return TRUE;
}
BOOL CALLBACK CollectTrays(HWND w, LPARAM lp) {
  if (ClassOf(w) == L"__winex11_standalone_tray") ::EnumChildWindows(w, &CollectTrayIcons, lp);
  return TRUE;
}
}  // namespace

std::vector<HWND> TrayIconWindows() {
  std::vector<HWND> icons;
  ::EnumWindows(&CollectTrays, reinterpret_cast<LPARAM>(&icons));
  return icons;
}

void MouseClickAt(POINT pt, DWORD downFlag, DWORD upFlag) {
  ::SetCursorPos(pt.x, pt.y);
  ::Sleep(30);
  INPUT in[2] = {};
  in[0].type = in[1].type = INPUT_MOUSE;
  in[0].mi.dwFlags = downFlag;
  in[1].mi.dwFlags = upFlag;
  ::SendInput(1, &in[0], sizeof(INPUT));
  ::Sleep(30);
  if (upFlag) ::SendInput(1, &in[1], sizeof(INPUT));
}

void PressKey(WORD vk) {
  INPUT in[2] = {};
  in[0].type = in[1].type = INPUT_KEYBOARD;
  in[0].ki.wVk = in[1].ki.wVk = vk;
  in[1].ki.dwFlags = KEYEVENTF_KEYUP;
  ::SendInput(2, in, sizeof(INPUT));
}

bool WaitFor(const std::function<bool()>& pred, DWORD ms) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    if (pred()) return true;
    if (::GetTickCount() - start >= ms) return pred();
    ::Sleep(20);
  }
}

// ---- Network -------------------------------------------------------------------------

namespace {
struct Winsock {
  Winsock() {
    WSADATA d;
    ::WSAStartup(MAKEWORD(2, 2), &d);
  }
};
void EnsureWinsock() { static Winsock w; }

SOCKET ConnectTo(std::uint16_t port) {
  EnsureWinsock();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(port);
  a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
  if (::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
    ::closesocket(s);
    return INVALID_SOCKET;
  }
  return s;
}
}  // namespace

bool CanConnect(std::uint16_t port) {
  SOCKET s = ConnectTo(port);
  if (s == INVALID_SOCKET) return false;
  ::closesocket(s);
  return true;
}

std::uint16_t FreePort() {
  EnsureWinsock();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  int len = sizeof(a);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::closesocket(s);
  return ::ntohs(a.sin_port);
}

bool SendLines(std::uint16_t port, const std::string& bytes) {
  SOCKET s = ConnectTo(port);
  if (s == INVALID_SOCKET) return false;
  bool ok = ::send(s, bytes.data(), static_cast<int>(bytes.size()), 0) == static_cast<int>(bytes.size());
  ::shutdown(s, SD_SEND);
  char c;
  ::recv(s, &c, 1, 0);  // the program closes once it has read everything
  ::closesocket(s);
  return ok;
}

std::wstring WithoutStamp(const std::wstring& entry) {
  // "hh" sep "nn" sep "ss" two blanks: the separator may be any one character.
  if (entry.size() >= 10 && std::iswdigit(entry[0]) && std::iswdigit(entry[1]) &&
      std::iswdigit(entry[3]) && std::iswdigit(entry[4]) && std::iswdigit(entry[6]) &&
      std::iswdigit(entry[7]) && entry[8] == L' ' && entry[9] == L' ')
    return entry.substr(10);
  return entry;
}

}  // namespace qme2e
