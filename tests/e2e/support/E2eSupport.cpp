#include "E2eSupport.h"

#include <commctrl.h>
#include <shellapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdlib>
#include <cwctype>

#include <ws2tcpip.h>  // before iphlpapi.h, or it leaves out netioapi.h
#include <iphlpapi.h>

#include "app/MainFrmIds.h"
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

TFileLock::TFileLock(const std::wstring& file, DWORD access, DWORD shareMode)
    : h_(::CreateFileW(file.c_str(), access, shareMode, nullptr, OPEN_ALWAYS, 0, nullptr)) {}

TFileLock::~TFileLock() { Release(); }

void TFileLock::Release() {
  if (h_ != INVALID_HANDLE_VALUE) ::CloseHandle(h_);
  h_ = INVALID_HANDLE_VALUE;
}

// ---- TQuillmere --------------------------------------------------------------

TQuillmere::TQuillmere(const TTempDir& dir, const std::wstring& exeName)
    : dir_(dir.Path()), exe_(dir.File(exeName)) {
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
  iconsBefore_ = TrayIconWindows();
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

std::optional<DWORD> TQuillmere::ExitCode() const {
  DWORD code = 0;
  if (!pi_.hProcess || Running() || !::GetExitCodeProcess(pi_.hProcess, &code)) return std::nullopt;
  return code;
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

DWORD TQuillmere::Style(int id) const {
  return static_cast<DWORD>(::GetWindowLongW(id == 0 ? main_ : Control(id), GWL_STYLE));
}

bool TQuillmere::Send(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result, DWORD ms) const {
  DWORD_PTR r = 0;
  const bool ok = ::SendMessageTimeoutW(main_, msg, wp, lp, SMTO_NORMAL, ms, &r) != 0;
  if (result) *result = static_cast<LRESULT>(r);
  return ok;
}

void TQuillmere::Post(UINT msg, WPARAM wp, LPARAM lp) const { ::PostMessageW(main_, msg, wp, lp); }

bool TQuillmere::Sync(DWORD ms) const { return Send(WM_NULL, 0, 0, nullptr, ms); }

bool TQuillmere::SyncPosted(DWORD ms) const {
  // Posted messages are dispatched in order: once the box's text limit shows
  // the change posted now, everything posted before it was dispatched.
  const HWND box = Control(qm::kIdEdtPort);
  DWORD_PTR limit = 0, now = 0;
  if (!::SendMessageTimeoutW(box, EM_GETLIMITTEXT, 0, 0, SMTO_NORMAL, ms, &limit)) return false;
  const DWORD_PTR marked = limit > 1 ? limit - 1 : limit + 1;
  if (!::PostMessageW(box, EM_SETLIMITTEXT, marked, 0)) return false;
  const bool seen = WaitFor(
      [&] { return ::SendMessageTimeoutW(box, EM_GETLIMITTEXT, 0, 0, SMTO_NORMAL, ms, &now) && now == marked; }, ms);
  ::SendMessageTimeoutW(box, EM_SETLIMITTEXT, limit, 0, SMTO_NORMAL, ms, &now);
  return seen;
}

std::size_t TQuillmere::WorkerThreads() const {
  // A thread's start address tells whose code it runs: the program starts
  // its threads at a function of its own, a DLL at one of the DLL's.
  using QueryFn = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
  static const auto query = reinterpret_cast<QueryFn>(
      reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationThread")));
  constexpr int kThreadQuerySetWin32StartAddress = 9;
  if (!query || !pid_) return 0;
  std::uintptr_t imageStart = 0, imageEnd = 0;
  HANDLE modules = ::CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, pid_);
  if (modules == INVALID_HANDLE_VALUE) return 0;
  MODULEENTRY32W me{};
  me.dwSize = sizeof(me);
  if (::Module32FirstW(modules, &me)) {  // the executable comes first
    imageStart = reinterpret_cast<std::uintptr_t>(me.modBaseAddr);
    imageEnd = imageStart + me.modBaseSize;
  }
  ::CloseHandle(modules);
  HANDLE threads = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (threads == INVALID_HANDLE_VALUE) return 0;
  std::size_t n = 0;
  THREADENTRY32 te{};
  te.dwSize = sizeof(te);
  for (BOOL ok = ::Thread32First(threads, &te); ok; ok = ::Thread32Next(threads, &te)) {
    if (te.th32OwnerProcessID != pid_ || te.th32ThreadID == pi_.dwThreadId) continue;
    HANDLE h = ::OpenThread(THREAD_QUERY_INFORMATION, FALSE, te.th32ThreadID);
    if (!h) continue;  // ended meanwhile
    std::uintptr_t start = 0;
    if (query(h, kThreadQuerySetWin32StartAddress, &start, sizeof(start), nullptr) == 0 && start >= imageStart &&
        start < imageEnd)
      ++n;
    ::CloseHandle(h);
  }
  ::CloseHandle(threads);
  return n;
}

void TQuillmere::MoveMain(int x, int y) const {
  ::SetWindowPos(main_, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void TQuillmere::SizeMain(int width, int height) const {
  ::SetWindowPos(main_, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::vector<std::wstring> TQuillmere::Log() const {
  std::wstring all = Text(qm::kIdMmLog);
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

bool TQuillmere::WaitLogSize(std::size_t entries, DWORD ms) const {
  return WaitLog([&](const std::vector<std::wstring>& log) { return log.size() == entries; }, ms);
}

int TQuillmere::LogDisplayLines() const {
  DWORD_PTR n = 0;
  ::SendMessageTimeoutW(Control(qm::kIdMmLog), EM_GETLINECOUNT, 0, 0, SMTO_ABORTIFHUNG, 3000, &n);
  return static_cast<int>(n);
}

int TQuillmere::LogLineSpacing() const {
  HWND log = Control(qm::kIdMmLog);
  DWORD_PTR second = 0, p0 = 0, p1 = 0;
  ::SendMessageTimeoutW(log, EM_LINEINDEX, 1, 0, SMTO_ABORTIFHUNG, 3000, &second);
  ::SendMessageTimeoutW(log, EM_POSFROMCHAR, 0, 0, SMTO_ABORTIFHUNG, 3000, &p0);
  ::SendMessageTimeoutW(log, EM_POSFROMCHAR, second, 0, SMTO_ABORTIFHUNG, 3000, &p1);
  return static_cast<short>(HIWORD(p1)) - static_cast<short>(HIWORD(p0));
}

HWND TQuillmere::TrayIcon(DWORD ms) {
  if (icon_ && ::IsWindow(icon_)) return icon_;
  icon_ = nullptr;
  WaitFor(
      [&] {
        for (HWND w : TrayIconWindows())
          if (std::find(iconsBefore_.begin(), iconsBefore_.end(), w) == iconsBefore_.end()) icon_ = w;
        return icon_ != nullptr;
      },
      ms);
  return icon_;
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
    // Wine's box holds every kind of button and hides those not asked for.
    if (::IsWindowVisible(w)) {
      box->buttons.push_back(GetText(w));
      box->buttonIds.push_back(::GetDlgCtrlID(w));
    }
  } else if (cls == L"Static") {
    if ((::GetWindowLongW(w, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
      DWORD_PTR icon = 0;
      ::SendMessageTimeoutW(w, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 3000, &icon);
      box->hasIcon = ::IsWindowVisible(w) && icon != 0;
      box->iconRect = ScreenRect(w);
    } else {
      std::wstring t = GetText(w);
      if (!t.empty()) box->text = t;
    }
  }
  return TRUE;
}

BOOL CALLBACK NoteUnpainted(HWND child, LPARAM lp) {
  if (::IsWindowVisible(child) && ::GetUpdateRect(child, nullptr, FALSE)) *reinterpret_cast<bool*>(lp) = false;
  return TRUE;
}

std::vector<DWORD> Pixels(HDC dc, HBITMAP bmp, int w, int h) {
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(bi.bmiHeader);
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  bi.bmiHeader.biCompression = BI_RGB;
  std::vector<DWORD> px(static_cast<std::size_t>(w) * h);
  ::GetDIBits(dc, bmp, 0, h, px.data(), &bi, DIB_RGB_COLORS);
  return px;
}
}  // namespace

std::optional<TMessageBox> WaitMessageBox(DWORD pid, DWORD ms) {
  HWND found = nullptr;
  if (!WaitFor([&] { return (found = FindTopWindow(pid, L"#32770", true)) != nullptr; }, ms))
    return std::nullopt;
  // Its thread has finished WM_INITDIALOG once it answers from the box's
  // loop, and has painted once no part of the box waits to be.
  WaitFor(
      [&] {
        DWORD_PTR r = 0;
        if (!::SendMessageTimeoutW(found, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 1000, &r)) return false;
        bool painted = !::GetUpdateRect(found, nullptr, FALSE);
        ::EnumChildWindows(found, &NoteUnpainted, reinterpret_cast<LPARAM>(&painted));
        return painted;
      },
      ms);
  TMessageBox box;
  box.wnd = found;
  box.rect = ScreenRect(found);
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

bool ShowsSystemIcon(const TMessageBox& box, LPCWSTR iconId) {
  if (!box.hasIcon) return false;
  const int w = ::GetSystemMetrics(SM_CXICON), h = ::GetSystemMetrics(SM_CYICON);
  HICON icon = ::LoadIconW(nullptr, iconId);
  HDC screen = ::GetDC(nullptr);
  HDC mem = ::CreateCompatibleDC(screen);
  HBITMAP bmp = ::CreateCompatibleBitmap(screen, w, h);
  HGDIOBJ old = ::SelectObject(mem, bmp);
  ::BitBlt(mem, 0, 0, w, h, screen, box.iconRect.left, box.iconRect.top, SRCCOPY);
  ::SelectObject(mem, old);
  const std::vector<DWORD> shown = Pixels(mem, bmp, w, h);
  old = ::SelectObject(mem, bmp);
  ::DrawIconEx(mem, 0, 0, icon, w, h, 0, nullptr, DI_NORMAL);
  ::SelectObject(mem, old);
  const std::vector<DWORD> redrawn = Pixels(mem, bmp, w, h);
  ::DeleteObject(bmp);
  ::DeleteDC(mem);
  ::ReleaseDC(nullptr, screen);
  std::size_t differ = 0;
  for (std::size_t i = 0; i < shown.size(); ++i)
    for (int shift : {0, 8, 16})
      if (std::abs(static_cast<int>((shown[i] >> shift) & 0xFF) -
                   static_cast<int>((redrawn[i] >> shift) & 0xFF)) > 24) {
        ++differ;
        break;
      }
  // Edges drawn twice over themselves darken: the same icon changes about
  // a tenth of the pixels, another one about half.
  return differ * 5 <= shown.size();
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

TRegValueGuard::TRegValueGuard(HKEY root, std::wstring key, std::wstring name)
    : root_(root), key_(std::move(key)), name_(std::move(name)) {
  HKEY k;
  if (::RegOpenKeyExW(root_, key_.c_str(), 0, KEY_QUERY_VALUE, &k) != ERROR_SUCCESS) return;
  DWORD size = 0;
  if (::RegQueryValueExW(k, name_.c_str(), nullptr, &type_, nullptr, &size) == ERROR_SUCCESS) {
    data_.resize(size);
    existed_ = ::RegQueryValueExW(k, name_.c_str(), nullptr, &type_, data_.data(), &size) ==
               ERROR_SUCCESS;
    data_.resize(size);
  }
  ::RegCloseKey(k);
}

TRegValueGuard::~TRegValueGuard() {
  if (!existed_) {
    ::RegDeleteKeyValueW(root_, key_.c_str(), name_.c_str());
    return;
  }
  HKEY k;
  if (::RegCreateKeyExW(root_, key_.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &k, nullptr) !=
      ERROR_SUCCESS)
    return;
  ::RegSetValueExW(k, name_.c_str(), 0, type_, data_.data(), static_cast<DWORD>(data_.size()));
  ::RegCloseKey(k);
}

TRunValueGuard::TRunValueGuard() : TRegValueGuard(HKEY_CURRENT_USER, kRunKey, L"Quillmere") {}

std::optional<DWORD> RegDword(HKEY root, const std::wstring& key, const std::wstring& name) {
  DWORD type = 0, value = 0, size = sizeof(value);
  if (::RegGetValueW(root, key.c_str(), name.c_str(), RRF_RT_ANY, &type, &value, &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD)
    return std::nullopt;
  return value;
}

bool SetRegDword(HKEY root, const std::wstring& key, const std::wstring& name, DWORD value) {
  return ::RegSetKeyValueW(root, key.c_str(), name.c_str(), REG_DWORD, &value, sizeof(value)) ==
         ERROR_SUCCESS;
}

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

namespace {
struct FindTip {
  const std::wstring* text;
  bool balloon;
  HWND found = nullptr;
};
BOOL CALLBACK FindTipProc(HWND w, LPARAM lp) {
  auto* f = reinterpret_cast<FindTip*>(lp);
  const bool balloon = (::GetWindowLongW(w, GWL_STYLE) & TTS_BALLOON) != 0;
  if (ClassOf(w) == TOOLTIPS_CLASSW && ::IsWindowVisible(w) && balloon == f->balloon &&
      GetText(w) == *f->text) {
    f->found = w;
    return FALSE;
  }
  return TRUE;
}
}  // namespace

HWND WaitToolTip(const std::wstring& text, bool balloon, DWORD ms) {
  FindTip f{&text, balloon};
  WaitFor(
      [&] {
        ::EnumWindows(&FindTipProc, reinterpret_cast<LPARAM>(&f));
        return f.found != nullptr;
      },
      ms);
  return f.found;
}

HWND WaitPopupMenu(DWORD pid, DWORD ms) {
  HWND menu = nullptr;
  WaitFor([&] { return (menu = FindTopWindow(pid, L"#32768", true)) != nullptr; }, ms);
  return menu;
}

POINT CenterOf(HWND wnd) {
  RECT r = ScreenRect(wnd);
  return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

POINT ClickablePoint(HWND wnd) {
  const RECT r = ScreenRect(wnd);
  const POINT centre = CenterOf(wnd);
  for (int y = r.top + 3; y < r.bottom - 2; ++y)
    for (int x : {centre.x, centre.x - 3, centre.x + 3})
      if (::WindowFromPoint(POINT{x, y}) == wnd) return POINT{x, y};
  return centre;
}

COLORREF ClientPixel(HWND wnd, POINT clientPoint) {
  ::ClientToScreen(wnd, &clientPoint);
  HDC screen = ::GetDC(nullptr);
  const COLORREF c = ::GetPixel(screen, clientPoint.x, clientPoint.y);
  ::ReleaseDC(nullptr, screen);
  return c;
}

RECT ScreenRect(HWND wnd) {
  RECT r{};
  ::GetWindowRect(wnd, &r);
  return r;
}

namespace {
DWORD g_lastPress = 0;  // tick of the last press sent, 0 for none

bool IsPress(DWORD flag) {
  return (flag & (MOUSEEVENTF_LEFTDOWN | MOUSEEVENTF_RIGHTDOWN | MOUSEEVENTF_MIDDLEDOWN)) != 0;
}

void SendMouse(DWORD flag) {
  INPUT in{};
  in.type = INPUT_MOUSE;
  in.mi.dwFlags = flag;
  ::SendInput(1, &in, sizeof(INPUT));
  if (IsPress(flag)) g_lastPress = ::GetTickCount() | 1;
}
}  // namespace

void WaitPastDoubleClickTime() {
  if (g_lastPress == 0) return;
  const DWORD needed = ::GetDoubleClickTime() + 100;
  const DWORD passed = ::GetTickCount() - g_lastPress;
  if (passed < needed) ::Sleep(needed - passed);
}

void MouseClickAt(POINT pt, DWORD downFlag, DWORD upFlag) {
  WaitPastDoubleClickTime();
  ::SetCursorPos(pt.x, pt.y);
  ::Sleep(30);
  SendMouse(downFlag);
  ::Sleep(30);
  if (upFlag) SendMouse(upFlag);
}

void MouseButton(DWORD flag) { SendMouse(flag); }

void DoubleClickAt(POINT pt, DWORD downFlag, DWORD upFlag) {
  WaitPastDoubleClickTime();
  ::SetCursorPos(pt.x, pt.y);
  ::Sleep(30);
  for (int i = 0; i < 2; ++i) {
    SendMouse(downFlag);
    SendMouse(upFlag);
    ::Sleep(40);
  }
}

void HoverAt(POINT pt) {
  // The tip shows again only after the cursor has left the icon.
  ::SetCursorPos(pt.x + 400, pt.y + 400);
  ::Sleep(50);
  ::SetCursorPos(pt.x - 3, pt.y - 3);
  ::Sleep(30);
  const int w = ::GetSystemMetrics(SM_CXSCREEN), h = ::GetSystemMetrics(SM_CYSCREEN);
  INPUT in{};
  in.type = INPUT_MOUSE;
  in.mi.dx = static_cast<LONG>((pt.x * 65536LL + w / 2) / w);
  in.mi.dy = static_cast<LONG>((pt.y * 65536LL + h / 2) / h);
  in.mi.dwFlags = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
  ::SendInput(1, &in, sizeof(INPUT));
}

bool TrayTipShows(HWND icon, const std::wstring& tip, DWORD ms) {
  if (!icon) return false;
  const DWORD start = ::GetTickCount();
  do {
    HoverAt(ClickablePoint(icon));
    if (WaitToolTip(tip, false, 1500)) return true;
  } while (::GetTickCount() - start < ms);
  return false;
}

void PressKey(WORD vk) {
  INPUT in[2] = {};
  in[0].type = in[1].type = INPUT_KEYBOARD;
  in[0].ki.wVk = in[1].ki.wVk = vk;
  in[1].ki.dwFlags = KEYEVENTF_KEYUP;
  ::SendInput(2, in, sizeof(INPUT));
}

void PressChord(std::initializer_list<WORD> keys) {
  std::vector<INPUT> in;
  for (WORD vk : keys) {
    INPUT i{};
    i.type = INPUT_KEYBOARD;
    i.ki.wVk = vk;
    in.push_back(i);
  }
  for (auto it = keys.end(); it != keys.begin();) {
    INPUT i{};
    i.type = INPUT_KEYBOARD;
    i.ki.wVk = *--it;
    i.ki.dwFlags = KEYEVENTF_KEYUP;
    in.push_back(i);
  }
  ::SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
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

SOCKET ConnectTo(std::uint16_t port, std::uint32_t from = 0, int receiveBuffer = 0) {
  EnsureWinsock();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  // Before connect, so the window offered to the program is that small too.
  if (receiveBuffer)
    ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&receiveBuffer), sizeof(receiveBuffer));
  if (from != 0) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = ::htonl(from);
    if (::bind(s, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0) {
      ::closesocket(s);
      return INVALID_SOCKET;
    }
  }
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

TPortHolder::TPortHolder(std::uint16_t port) {
  EnsureWinsock();
  s_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(port);
  held_ = s_ != INVALID_SOCKET && ::bind(s_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 &&
          ::listen(s_, 5) == 0;
}

TPortHolder::~TPortHolder() {
  if (s_ != INVALID_SOCKET) ::closesocket(s_);
}

int BindError(std::uint16_t port) {
  EnsureWinsock();
  SOCKET s = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  BOOL one = TRUE;  // as the program's listener does
  ::setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one), sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = ::htons(port);
  const int error = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof(a)) == 0 ? 0 : ::WSAGetLastError();
  ::closesocket(s);
  return error;
}

std::wstring BindFailureLine(std::uint16_t port) {
  const int error = BindError(port);
  return error ? L"bind() 失败，错误码 " + std::to_wstring(error) : std::wstring();
}

std::wstring ListenerLine(std::int32_t port) { return L"已开始监听 TCP 端口 " + std::to_wstring(port); }

std::wstring AddressLine(std::uint16_t port) {
  // Every IPv4 address in use on an adapter that is up, in the system's
  // order, each once; loopback and link-local ones reach no scanner.
  std::vector<ULONGLONG> buf(4096);
  ULONG size = static_cast<ULONG>(buf.size() * sizeof(ULONGLONG));
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int i = 0; i < 4 && result == ERROR_BUFFER_OVERFLOW; ++i) {
    buf.resize(size / sizeof(ULONGLONG) + 1);
    size = static_cast<ULONG>(buf.size() * sizeof(ULONGLONG));
    result = ::GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST, nullptr,
                                    reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buf.data()), &size);
  }
  std::vector<std::uint32_t> seen;
  std::wstring items;
  if (result == ERROR_SUCCESS) {
    for (auto* a = reinterpret_cast<PIP_ADAPTER_ADDRESSES>(buf.data()); a; a = a->Next) {
      if (a->OperStatus != IfOperStatusUp) continue;
      for (PIP_ADAPTER_UNICAST_ADDRESS u = a->FirstUnicastAddress; u; u = u->Next) {
        if (!u->Address.lpSockaddr || u->Address.lpSockaddr->sa_family != AF_INET) continue;
        if (u->DadState != IpDadStatePreferred && u->DadState != IpDadStateDeprecated) continue;
        const std::uint32_t ip = ::ntohl(reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr)->sin_addr.s_addr);
        if ((ip >> 24) == 127 || (ip >> 16) == 0xA9FE || std::find(seen.begin(), seen.end(), ip) != seen.end())
          continue;
        seen.push_back(ip);
        if (!items.empty()) items += L", ";
        items += std::to_wstring(ip >> 24) + L"." + std::to_wstring(ip >> 16 & 0xFF) + L"." +
                 std::to_wstring(ip >> 8 & 0xFF) + L"." + std::to_wstring(ip & 0xFF) + L":" + std::to_wstring(port);
      }
    }
  }
  return L"本机地址：" + (items.empty() ? std::wstring(L"无可用网络") : items);
}

std::vector<std::wstring> ListenerLines(std::int32_t port, const std::wstring& allowLine) {
  std::vector<std::wstring> lines{ListenerLine(port)};
  if (const auto low = static_cast<std::uint16_t>(port & 0xFFFF)) {
    lines.push_back(AddressLine(low));
    lines.push_back(allowLine);
  }
  return lines;
}

std::string U8(const std::wstring& text) { return qm::WideToUtf8(text); }

std::vector<std::string> U8(const std::vector<std::wstring>& texts) {
  std::vector<std::string> out;
  for (const std::wstring& t : texts) out.push_back(U8(t));
  return out;
}

std::wstring WithoutStamp(const std::wstring& entry) {
  // "hh" sep "nn" sep "ss" two blanks: the separator may be any one character.
  if (entry.size() >= 10 && std::iswdigit(entry[0]) && std::iswdigit(entry[1]) &&
      std::iswdigit(entry[3]) && std::iswdigit(entry[4]) && std::iswdigit(entry[6]) &&
      std::iswdigit(entry[7]) && entry[8] == L' ' && entry[9] == L' ')
    return entry.substr(10);
  return entry;
}


// ---- Wire, load and fault tests -------------------------------------------------

TTcpClient::TTcpClient(std::uint16_t port, bool noDelay, std::uint32_t from, int receiveBuffer)
    : s_(ConnectTo(port, from, receiveBuffer)) {
  if (s_ != INVALID_SOCKET && noDelay) {
    BOOL one = TRUE;
    ::setsockopt(s_, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
  }
}

TTcpClient::~TTcpClient() { Close(); }

TTcpClient::TTcpClient(TTcpClient&& other) noexcept : s_(other.s_) { other.s_ = INVALID_SOCKET; }

bool TTcpClient::Send(const std::string& bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    const int n = ::send(s_, bytes.data() + at, static_cast<int>(bytes.size() - at), 0);
    if (n <= 0) return false;
    at += static_cast<std::size_t>(n);
  }
  return s_ != INVALID_SOCKET;
}

void TTcpClient::ShutdownSend() {
  if (s_ != INVALID_SOCKET) ::shutdown(s_, SD_SEND);
}

void TTcpClient::Reset() {
  if (s_ == INVALID_SOCKET) return;
  linger l{1, 0};
  ::setsockopt(s_, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&l), sizeof(l));
  Close();
}

void TTcpClient::Close() {
  if (s_ != INVALID_SOCKET) ::closesocket(s_);
  s_ = INVALID_SOCKET;
}

std::string TTcpClient::Receive(std::size_t n, DWORD ms, bool* closed) {
  std::string got;
  if (closed) *closed = false;
  for (const double end = NowMs() + ms; s_ != INVALID_SOCKET && got.size() < n && NowMs() < end;) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s_, &set);
    const long left = static_cast<long>(end - NowMs()) + 1;
    timeval tv{left / 1000, (left % 1000) * 1000};
    if (::select(0, &set, nullptr, nullptr, &tv) <= 0) break;
    char buf[4096];
    const int r = ::recv(s_, buf, static_cast<int>(std::min<std::size_t>(sizeof(buf), n - got.size())), 0);
    if (r <= 0) {
      if (closed) *closed = true;
      break;
    }
    got.append(buf, static_cast<std::size_t>(r));
  }
  return got;
}

bool TTcpClient::ClosedByPeer(DWORD ms) {
  if (s_ == INVALID_SOCKET) return false;
  fd_set set;
  FD_ZERO(&set);
  FD_SET(s_, &set);
  timeval tv{static_cast<long>(ms / 1000), static_cast<long>((ms % 1000) * 1000)};
  if (::select(0, &set, nullptr, nullptr, &tv) <= 0) return false;
  char c;
  return ::recv(s_, &c, 1, 0) <= 0;
}

namespace {
// The Linux path of a file in the host's /tmp, and the Windows one.
std::string HostTemp(const std::string& suffix) {
  static unsigned counter = 0;
  return "/tmp/qm-e2e-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++counter) + suffix;
}
std::wstring OnDriveZ(const std::string& linuxPath) {
  std::wstring w = L"Z:";
  for (char c : linuxPath) w.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(c));
  return w;
}
bool LaunchHostScript(const std::string& path) {
  std::string cmd = "/bin/sh " + path;
  STARTUPINFOA si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessA(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
    return false;
  if (pi.hThread) ::CloseHandle(pi.hThread);
  if (pi.hProcess) ::CloseHandle(pi.hProcess);
  return true;
}
}  // namespace

int RunHostShell(const std::string& script, DWORD ms, std::string* output) {
  if (!FileExists(L"Z:\\bin\\sh")) return -1;
  const std::string base = HostTemp("");
  const std::string body = "{\n" + script + "\n} >" + base + ".out 2>&1\necho $? >" + base + ".tmp\nmv " + base +
                           ".tmp " + base + ".rc\n";
  if (!WriteBytes(OnDriveZ(base + ".sh"), body) || !LaunchHostScript(base + ".sh")) return -1;
  int status = -1;
  if (WaitFor([&] { return FileExists(OnDriveZ(base + ".rc")); }, ms))
    status = std::atoi(ReadBytes(OnDriveZ(base + ".rc")).c_str());
  if (output) *output = ReadBytes(OnDriveZ(base + ".out"));
  for (const char* ext : {".sh", ".rc", ".out"}) ::DeleteFileW(OnDriveZ(base + ext).c_str());
  return status;
}

bool StartHostShell(const std::string& script) {
  if (!FileExists(L"Z:\\bin\\sh")) return false;
  const std::string path = HostTemp(".sh");
  return WriteBytes(OnDriveZ(path), "rm -f " + path + "\n" + script + "\n") && LaunchHostScript(path);
}

THostPeer::THostPeer() {
  const DWORD id = ::GetCurrentProcessId() % 100000;
  ns_ = "qm-peer-" + std::to_string(id);
  hostLink_ = "qmh" + std::to_string(id);
  peerLink_ = "qmp" + std::to_string(id);
  net_ = "10.213." + std::to_string(id % 200 + 20);
  peer_ = (10u << 24) | (213u << 16) | ((id % 200 + 20) << 8) | 2;
  const std::string setup = "set -e\nip netns add " + ns_ + "\nip link add " + hostLink_ + " type veth peer name " +
                            peerLink_ + "\nip link set " + peerLink_ + " netns " + ns_ + "\nip addr add " + net_ +
                            ".1/30 dev " + hostLink_ + "\nip link set " + hostLink_ + " up\nip netns exec " + ns_ +
                            " ip addr add " + net_ + ".2/30 dev " + peerLink_ + "\nip netns exec " + ns_ +
                            " ip link set " + peerLink_ + " up\nip netns exec " + ns_ + " ip link set lo up\n";
  std::string out;
  const int status = RunHostShell(setup, 20000, &out);
  ready_ = status == 0;
  if (!ready_) {
    why_ = status < 0 ? "no Linux host shell to make a network namespace with" : "ip netns: " + out;
    RunHostShell("ip netns del " + ns_ + " 2>/dev/null; ip link del " + hostLink_ + " 2>/dev/null; true", 20000);
  }
}

THostPeer::~THostPeer() {
  if (!ready_) return;
  RunHostShell("ip netns pids " + ns_ + " | xargs -r kill -9\nip netns del " + ns_ + "\nip link del " + hostLink_ +
                   " 2>/dev/null\ntrue",
               20000);
}

std::string THostPeer::HostAddress() const { return net_ + ".1"; }

bool THostPeer::Start(const std::string& script) {
  const std::string path = HostTemp(".bash");
  return WriteBytes(OnDriveZ(path), "rm -f " + path + "\n" + script + "\n") &&
         StartHostShell("exec ip netns exec " + ns_ + " /bin/bash " + path);
}

bool THostPeer::Cut() { return RunHostShell("ip netns exec " + ns_ + " ip link set " + peerLink_ + " down", 20000) == 0; }

std::optional<TProcessMemory> ProcessMemory(DWORD pid) {
  // ProcessVmCounters of another process: Wine's server fills them from
  // /proc/<pid>/status; psapi is not linked here.
  using QueryFn = LONG(WINAPI*)(HANDLE, int, PVOID, ULONG, PULONG);
  static const auto query =
      reinterpret_cast<QueryFn>(reinterpret_cast<void*>(
          ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationProcess")));
  struct {
    SIZE_T PeakVirtualSize, VirtualSize;
    ULONG PageFaultCount;
    SIZE_T PeakWorkingSetSize, WorkingSetSize, QuotaPeakPagedPoolUsage, QuotaPagedPoolUsage,
        QuotaPeakNonPagedPoolUsage, QuotaNonPagedPoolUsage, PagefileUsage, PeakPagefileUsage;
  } vm{};
  if (!query) return std::nullopt;
  HANDLE h = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!h) return std::nullopt;
  constexpr int kProcessVmCounters = 3;
  const LONG status = query(h, kProcessVmCounters, &vm, sizeof(vm), nullptr);
  ::CloseHandle(h);
  if (status != 0) return std::nullopt;
  TProcessMemory m;
  m.resident = vm.WorkingSetSize;
  m.peakResident = vm.PeakWorkingSetSize;
  m.privateBytes = vm.PagefileUsage;
  m.addressSpace = vm.VirtualSize;
  return m;
}

std::size_t ThreadCount(DWORD pid) {
  HANDLE snap = ::CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snap == INVALID_HANDLE_VALUE) return 0;
  std::size_t n = 0;
  THREADENTRY32 te{};
  te.dwSize = sizeof(te);
  for (BOOL ok = ::Thread32First(snap, &te); ok; ok = ::Thread32Next(snap, &te))
    if (te.th32OwnerProcessID == pid) ++n;
  ::CloseHandle(snap);
  return n;
}

std::vector<std::string> TLogTail::NewLines() {
  std::vector<std::string> lines;
  HANDLE h = ::CreateFileW(file_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
  if (h == INVALID_HANDLE_VALUE) return lines;
  LARGE_INTEGER at;
  at.QuadPart = static_cast<LONGLONG>(offset_);
  ::SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
  static thread_local std::vector<char> buf(1 << 20);
  DWORD n = 0;
  while (::ReadFile(h, buf.data(), static_cast<DWORD>(buf.size()), &n, nullptr) && n > 0) {
    offset_ += n;
    std::size_t from = 0;
    for (std::size_t i = 0; i < n; ++i) {
      if (buf[i] != '\n') continue;
      partial_.append(buf.data() + from, i - from);
      lines.push_back(std::move(partial_));
      partial_.clear();
      from = i + 1;
    }
    partial_.append(buf.data() + from, n - from);
  }
  ::CloseHandle(h);
  return lines;
}

double NowMs() {
  static const double perMs = [] {
    LARGE_INTEGER f;
    ::QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart) / 1000.0;
  }();
  LARGE_INTEGER t;
  ::QueryPerformanceCounter(&t);
  return static_cast<double>(t.QuadPart) / perMs;
}

TResponseProbe::TResponseProbe(HWND wnd, DWORD periodMs, DWORD timeoutMs)
    : wnd_(wnd), periodMs_(periodMs), timeoutMs_(timeoutMs) {
  thread_ = ::CreateThread(nullptr, 0, &Run, this, 0, nullptr);
}

TResponseProbe::~TResponseProbe() { Stop(); }

void TResponseProbe::Stop() {
  stop_ = true;
  if (thread_) {
    ::WaitForSingleObject(thread_, INFINITE);
    ::CloseHandle(thread_);
    thread_ = nullptr;
  }
}

DWORD WINAPI TResponseProbe::Run(LPVOID param) {
  auto* self = static_cast<TResponseProbe*>(param);
  wchar_t text[64];
  for (bool getText = false; !self->stop_; getText = !getText) {
    const double start = NowMs();
    DWORD_PTR r = 0;
    // WM_GETTEXT of another process's window is answered by its thread, not
    // read from the caption the system keeps.
    const LRESULT ok = getText ? ::SendMessageTimeoutW(self->wnd_, WM_GETTEXT, 64, reinterpret_cast<LPARAM>(text),
                                                       SMTO_NORMAL, self->timeoutMs_, &r)
                               : ::SendMessageTimeoutW(self->wnd_, WM_NULL, 0, 0, SMTO_NORMAL, self->timeoutMs_, &r);
    const auto us = static_cast<std::uint64_t>((NowMs() - start) * 1000.0);
    ++self->asked_;
    if (!ok) ++self->unanswered_;
    for (std::uint64_t seen = self->longestUs_.load(); us > seen && !self->longestUs_.compare_exchange_weak(seen, us);) {
    }
    ::Sleep(self->periodMs_);
  }
  return 0;
}

}  // namespace qme2e
