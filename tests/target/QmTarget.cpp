// QmTarget.exe: a window of another process for the delivery tests to type
// into. It records what its controls receive, one line per event, in a log
// file that other processes may read at any time.
//
//   QmTarget.exe --log PATH [options]
//     --title TEXT           window title (default "QmTarget")
//     --controls LIST        children in z-order, top first, comma-separated, from
//                            hidden, button, edit1, edit2, combo, memo, rich, static,
//                            readonly, password, disabled (edits), list (a drop-down
//                            list combo box), canvas (a control of its own that takes
//                            keys and never pastes: a page that reads typed keys; its
//                            text is the characters typed since the last Enter or Tab), page (an edit under a class name
//                            of its own, as toolkits draw fields), panel (a disabled
//                            panel holding an edit, panel.edit)
//                            (default hidden,button,edit1,edit2,combo,memo)
//     --focus NAME           control that has the focus at start (default edit1);
//                            combo means its edit child; none leaves it on the window
//     --memo-text TEXT       the memo's first content; --memo-caret N puts the caret
//     --memo-caret N         at unit N of it (default: at the end)
//     --clear-on-enter       empty the field at each Enter (its CR/LF chars are eaten)
//     --post-work N          after every WM_SETTEXT and WM_PASTE, post the window N
//                            messages of 1 ms work each, as change handlers do
//     --limit-on-enter N     the fields set their own text limit to N at each Enter
//     --fixed-limit          the fields ignore EM_SETLIMITTEXT
//     --no-limit             the fields answer EM_GETLIMITTEXT with 0
//     --enter-work MS        every Enter takes MS ms to handle, as a look-up would
//     --refuse-settext       the fields answer WM_SETTEXT with FALSE and keep their text
//     --key-up               key messages are logged with their lParam, key-ups too,
//                            and Enter acts on its release (ENTER is logged then)
//     --stamp                every line begins with the QueryPerformanceCounter value
//     --tool | --no-activate | --topmost      extended styles of the window
//     --show normal|min|max  how the window is shown (default normal)
//     --no-foreground        do not make the window the foreground window at start
//     --x X --y Y --w W --h H                 placement (default 100 100 480 360)
//     --close-on-enter       the window closes at each Enter, as a scan dialog does
//     --file PATH            at each Enter, log what the file at PATH holds (FILE)
//     --slow-change MS       the fields' change handler takes MS ms and empties the field
//     --late MS              the fields take their key messages at once and handle them
//                            MS ms later, in order, as a web page busy with the last scan
//     --dialog               the dialog manager runs in the loop (IsDialogMessage):
//                            Enter on a focused push button clicks it (CLICKED is logged)
//
// Posted to the main window: WM_APP+1 (wParam = index in --controls) focuses
// that control; WM_APP+2 (wParam = ms) stops responding for that long;
// WM_APP+3 makes the window the foreground window; WM_APP+4 opens the
// clipboard and holds it open until WM_APP+5 (wParam > 0: for that many ms). On activation the control that
// had the focus last gets it back.
//
// Log lines, UTF-8, text escaped (\\ \r \n): first
//   READY main=HWND name=HWND ...            (hex handles; combo.edit too)
// then, per event, "<name> <event> [data]":
//   WM_SETTEXT <text> | WM_KEYDOWN <vk hex> [lParam hex] | WM_KEYUP <vk hex> <lParam hex> |
//   WM_CHAR <code hex> | WM_PASTE | PASTED <text after the paste> | ENTER <text when Enter was pressed> |
//   TAB <text when Tab was pressed> |
//   CLICKED | FILE <the file's text, without its byte-order mark, when Enter was pressed>
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr UINT WM_TARGET_FOCUS = WM_APP + 1;
constexpr UINT WM_TARGET_HANG = WM_APP + 2;
constexpr UINT WM_TARGET_FOREGROUND = WM_APP + 3;
constexpr UINT WM_TARGET_HOLD_CLIPBOARD = WM_APP + 4;
constexpr UINT WM_TARGET_FREE_CLIPBOARD = WM_APP + 5;
constexpr UINT WM_TARGET_WORK = WM_APP + 6;
constexpr UINT_PTR kLateTimer = 1;
constexpr UINT_PTR kFreeClipboardTimer = 2;

struct Control {
  std::wstring name;
  HWND wnd = nullptr;
  WNDPROC original = nullptr;
};

HANDLE g_log = INVALID_HANDLE_VALUE;
bool g_stamp = false;
bool g_clearOnEnter = false;
bool g_quiet = false;  // our own changes are not what the deliverer sent
int g_postWork = 0;
int g_enterWork = 0;
bool g_refuseSetText = false;
bool g_keyUp = false;
int g_limitOnEnter = -1;
bool g_fixedLimit = false;
bool g_noLimit = false;
HWND g_main = nullptr;
std::vector<std::unique_ptr<Control>> g_owned;
std::vector<Control*> g_controls;
std::vector<Control*> g_logged;  // controls and the combo's edit child
HWND g_lastFocus = nullptr;      // given back on activation, as dialogs do
struct Deferred { HWND wnd; UINT msg; WPARAM wp; LPARAM lp; ULONGLONG due; };
int g_late = 0;
int g_slowChange = 0;
std::wstring g_file;
bool g_closeOnEnter = false;
std::deque<Deferred> g_deferred;
bool g_replaying = false;
HWND g_canvas = nullptr;

std::string Utf8(const std::wstring& s) {
  if (s.empty()) return std::string();
  int n = ::WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(n), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::wstring Escape(const std::wstring& s) {
  std::wstring out;
  for (wchar_t c : s) {
    if (c == L'\\') out += L"\\\\";
    else if (c == L'\r') out += L"\\r";
    else if (c == L'\n') out += L"\\n";
    else out += c;
  }
  return out;
}

void Log(const std::wstring& line) {
  std::string bytes;
  if (g_stamp) {
    LARGE_INTEGER t;
    ::QueryPerformanceCounter(&t);
    bytes = std::to_string(t.QuadPart) + " ";
  }
  bytes += Utf8(line) + "\n";
  DWORD written;
  ::WriteFile(g_log, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring Hex(unsigned long long v) {
  wchar_t buf[32];
  std::swprintf(buf, 32, L"%llX", v);
  return buf;
}

std::wstring FileText(const std::wstring& path) {
  HANDLE f = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                           nullptr);
  if (f == INVALID_HANDLE_VALUE) return L"<none>";
  char bytes[4096];
  DWORD n = 0;
  ::ReadFile(f, bytes, sizeof(bytes), &n, nullptr);
  ::CloseHandle(f);
  const int bom = n >= 3 && std::string(bytes, 3) == "\xEF\xBB\xBF" ? 3 : 0;
  wchar_t text[4096];
  return std::wstring(text, ::MultiByteToWideChar(CP_UTF8, 0, bytes + bom, static_cast<int>(n) - bom, text, 4096));
}

std::wstring g_typed;  // the canvas's

std::wstring TextOf(HWND wnd) {
  if (wnd && wnd == g_canvas) return g_typed;
  int n = ::GetWindowTextLengthW(wnd);
  std::wstring s(static_cast<std::size_t>(n) + 1, L'\0');
  n = ::GetWindowTextW(wnd, s.data(), n + 1);
  s.resize(static_cast<std::size_t>(n < 0 ? 0 : n));
  return s;
}

// False when the window is gone.
bool LogEnter(const std::wstring& name, HWND wnd) {
  Log(name + L" ENTER " + Escape(TextOf(wnd)));
  if (wnd == g_canvas) g_typed.clear();
  if (!g_file.empty()) Log(name + L" FILE " + Escape(FileText(g_file)));
  if (g_closeOnEnter) ::DestroyWindow(g_main);
  return !g_closeOnEnter;
}

Control* Find(HWND wnd) {
  for (Control* c : g_logged)
    if (c->wnd == wnd) return c;
  return nullptr;
}

LRESULT CALLBACK ControlProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  Control* c = Find(wnd);
  if (!c) return ::DefWindowProcW(wnd, msg, wp, lp);
  const std::wstring& n = c->name;
  if (g_late > 0 && !g_replaying && (msg == WM_KEYDOWN || msg == WM_KEYUP || msg == WM_CHAR)) {
    if (g_deferred.empty()) ::SetTimer(g_main, kLateTimer, static_cast<UINT>(g_late), nullptr);
    g_deferred.push_back({wnd, msg, wp, lp, ::GetTickCount64() + static_cast<ULONGLONG>(g_late)});
    return 0;
  }
  switch (msg) {
    case WM_SETTEXT:
      if (g_quiet) break;
      Log(n + L" WM_SETTEXT " + Escape(lp ? reinterpret_cast<const wchar_t*>(lp) : L""));
      if (g_refuseSetText) return FALSE;
      for (int i = 0; i < g_postWork; ++i) ::PostMessageW(g_main, WM_TARGET_WORK, 0, 0);
      break;
    case EM_SETLIMITTEXT:
      if (g_fixedLimit) return 0;
      break;
    case WM_SETFOCUS:
      g_lastFocus = wnd;  // Wine may have taken the focus before the window hears of its deactivation
      break;
    case EM_GETLIMITTEXT:
      if (g_noLimit) return 0;
      break;
    case WM_KEYUP:
      if (!g_keyUp) break;
      Log(n + L" WM_KEYUP " + Hex(wp) + L" " + Hex(static_cast<DWORD>(lp)));
      if (wp == VK_RETURN) {
        if (!LogEnter(n, wnd)) return 0;
        if (g_enterWork > 0) ::Sleep(static_cast<DWORD>(g_enterWork));
      }
      break;
    case WM_KEYDOWN:
      Log(n + L" WM_KEYDOWN " + Hex(wp) + (g_keyUp ? L" " + Hex(static_cast<DWORD>(lp)) : L""));
      if (wp == VK_TAB) {
        Log(n + L" TAB " + Escape(TextOf(wnd)));
        if (wnd == g_canvas) g_typed.clear();
      }
      if (wp == VK_RETURN && !g_keyUp) {
        if (!LogEnter(n, wnd)) return 0;
        if (g_enterWork > 0) ::Sleep(static_cast<DWORD>(g_enterWork));
        if (g_limitOnEnter >= 0) ::CallWindowProcW(c->original, wnd, EM_SETLIMITTEXT, g_limitOnEnter, 0);
        if (g_clearOnEnter) {
          g_quiet = true;
          ::CallWindowProcW(c->original, wnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
          g_quiet = false;
          return 0;
        }
      }
      break;
    case WM_CHAR:
      Log(n + L" WM_CHAR " + Hex(wp));
      if (wnd == g_canvas && wp >= 0x20) g_typed += static_cast<wchar_t>(wp);
      if (g_clearOnEnter && (wp == L'\r' || wp == L'\n')) return 0;
      break;
    case WM_PASTE: {
      Log(n + L" WM_PASTE");
      LRESULT r = ::CallWindowProcW(c->original, wnd, msg, wp, lp);
      Log(n + L" PASTED " + Escape(TextOf(wnd)));
      for (int i = 0; i < g_postWork; ++i) ::PostMessageW(g_main, WM_TARGET_WORK, 0, 0);
      return r;
    }
    default:
      break;
  }
  return ::CallWindowProcW(c->original, wnd, msg, wp, lp);
}

Control* NewControl(std::wstring name, HWND wnd) {
  g_owned.push_back(std::make_unique<Control>(Control{std::move(name), wnd}));
  return g_owned.back().get();
}

void Subclass(Control* c) {
  c->original = reinterpret_cast<WNDPROC>(
      ::SetWindowLongPtrW(c->wnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&ControlProc)));
  g_logged.push_back(c);
}

LRESULT CALLBACK MainProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_TARGET_FOCUS:
      if (wp < g_controls.size()) {
        HWND w = g_controls[wp]->wnd;
        if (g_controls[wp]->name == L"combo") w = ::GetWindow(w, GW_CHILD);
        ::SetFocus(w);
      }
      return 0;
    case WM_TARGET_HANG:
      ::Sleep(static_cast<DWORD>(wp));
      return 0;
    case WM_TARGET_FOREGROUND:
      ::SetForegroundWindow(wnd);
      return 0;
    case WM_TARGET_HOLD_CLIPBOARD:
      if (wp) ::SetTimer(wnd, kFreeClipboardTimer, static_cast<UINT>(wp), nullptr);
      return ::OpenClipboard(wnd);
    case WM_TARGET_FREE_CLIPBOARD:
      return ::CloseClipboard();
    case WM_TARGET_WORK:
      ::Sleep(1);
      return 0;
    case WM_TIMER:
      if (wp == kFreeClipboardTimer) {
        ::KillTimer(wnd, kFreeClipboardTimer);
        ::CloseClipboard();
      }
      if (wp != kLateTimer) return 0;
      ::KillTimer(wnd, kLateTimer);
      while (!g_deferred.empty() && g_deferred.front().due <= ::GetTickCount64()) {
        const Deferred d = g_deferred.front();
        g_deferred.pop_front();
        g_replaying = true;
        ControlProc(d.wnd, d.msg, d.wp, d.lp);
        g_replaying = false;
      }
      if (!g_deferred.empty())
        ::SetTimer(wnd, kLateTimer, static_cast<UINT>(g_deferred.front().due - ::GetTickCount64()), nullptr);
      return 0;
    case WM_COMMAND:
      if (HIWORD(wp) == EN_CHANGE && g_slowChange > 0 && !g_quiet) {
        // The edit sends EN_CHANGE inside WM_SETTEXT: the sender waits too.
        ::Sleep(static_cast<DWORD>(g_slowChange));
        if (Control* c = Find(reinterpret_cast<HWND>(lp))) {
          g_quiet = true;
          ::CallWindowProcW(c->original, c->wnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L""));
          g_quiet = false;
        }
      }
      if (HIWORD(wp) == BN_CLICKED)
        for (Control* c : g_controls)
          if (c->wnd == reinterpret_cast<HWND>(lp)) Log(c->name + L" CLICKED");
      return 0;
    case WM_ACTIVATE:
      if (LOWORD(wp) == WA_INACTIVE) {
        HWND focus = ::GetFocus();
        if (focus && ::IsChild(wnd, focus)) g_lastFocus = focus;
      } else if (g_lastFocus && ::IsWindow(g_lastFocus)) {
        ::SetFocus(g_lastFocus);
        return 0;
      }
      return ::DefWindowProcW(wnd, msg, wp, lp);
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      return ::DefWindowProcW(wnd, msg, wp, lp);
  }
}

std::wstring Arg(const std::vector<std::wstring>& args, const wchar_t* name, const wchar_t* fallback) {
  for (std::size_t i = 0; i + 1 < args.size(); ++i)
    if (args[i] == name) return args[i + 1];
  return fallback;
}

int Int(const std::vector<std::wstring>& args, const wchar_t* name, int fallback) {
  const std::wstring text = Arg(args, name, L"");
  wchar_t* end = nullptr;
  const long v = std::wcstol(text.c_str(), &end, 10);
  return text.empty() || *end != L'\0' ? fallback : static_cast<int>(v);
}

bool Flag(const std::vector<std::wstring>& args, const wchar_t* name) {
  for (const std::wstring& a : args)
    if (a == name) return true;
  return false;
}

std::vector<std::wstring> Split(const std::wstring& s) {
  std::vector<std::wstring> parts;
  std::size_t at = 0;
  while (at <= s.size()) {
    std::size_t comma = s.find(L',', at);
    if (comma == std::wstring::npos) comma = s.size();
    if (comma > at) parts.push_back(s.substr(at, comma - at));
    at = comma + 1;
  }
  return parts;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE inst, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  std::vector<std::wstring> args(argv + 1, argv + argc);
  ::LocalFree(argv);

  const std::wstring logPath = Arg(args, L"--log", L"");
  if (logPath.empty()) return 2;
  g_log = ::CreateFileW(logPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (g_log == INVALID_HANDLE_VALUE) return 3;
  g_stamp = Flag(args, L"--stamp");
  g_clearOnEnter = Flag(args, L"--clear-on-enter");
  g_postWork = Int(args, L"--post-work", 0);
  g_enterWork = Int(args, L"--enter-work", 0);
  g_refuseSetText = Flag(args, L"--refuse-settext");
  g_keyUp = Flag(args, L"--key-up");
  g_limitOnEnter = Int(args, L"--limit-on-enter", -1);
  g_fixedLimit = Flag(args, L"--fixed-limit");
  g_noLimit = Flag(args, L"--no-limit");
  g_late = Int(args, L"--late", 0);
  g_slowChange = Int(args, L"--slow-change", 0);
  g_file = Arg(args, L"--file", L"");
  g_closeOnEnter = Flag(args, L"--close-on-enter");

  ::LoadLibraryW(L"riched20.dll");
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &MainProc;
  wc.hInstance = inst;
  wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
  wc.lpszClassName = L"QmTargetWindow";
  ::RegisterClassExW(&wc);
  WNDCLASSEXW canvas = wc;
  canvas.lpfnWndProc = &::DefWindowProcW;
  canvas.lpszClassName = L"QmCanvas";
  ::RegisterClassExW(&canvas);
  WNDCLASSEXW page{};
  page.cbSize = sizeof(page);
  if (::GetClassInfoExW(nullptr, L"Edit", &page)) {
    page.hInstance = inst;
    page.lpszClassName = L"QmPage";
    ::RegisterClassExW(&page);
  }

  DWORD ex = 0;
  if (Flag(args, L"--tool")) ex |= WS_EX_TOOLWINDOW;
  if (Flag(args, L"--no-activate")) ex |= WS_EX_NOACTIVATE;
  if (Flag(args, L"--topmost")) ex |= WS_EX_TOPMOST;
  const int x = Int(args, L"--x", 100), y = Int(args, L"--y", 100);
  const int w = Int(args, L"--w", 480), h = Int(args, L"--h", 360);
  HWND main = ::CreateWindowExW(ex, wc.lpszClassName, Arg(args, L"--title", L"QmTarget").c_str(),
                                WS_OVERLAPPEDWINDOW, x, y, w, h, nullptr, nullptr, inst, nullptr);
  if (!main) return 4;
  g_main = main;

  const bool dialog = Flag(args, L"--dialog");
  const std::vector<std::wstring> names = Split(Arg(args, L"--controls", L"hidden,button,edit1,edit2,combo,memo"));
  int top = 10;
  for (std::size_t i = 0; i < names.size(); ++i) {
    const std::wstring& n = names[i];
    const wchar_t* cls = L"Edit";
    DWORD style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL;
    int height = 24;
    if (n == L"hidden") {
      style &= ~WS_VISIBLE;
    } else if (n == L"readonly") {
      style |= ES_READONLY;
    } else if (n == L"password") {
      style |= ES_PASSWORD;
    } else if (n == L"disabled") {
      style |= WS_DISABLED;
    } else if (n == L"list") {
      cls = L"ComboBox";
      style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWNLIST;
      height = 120;
    } else if (n == L"button") {
      cls = L"Button";
      // A dialog makes its focused push button the default one, which Enter clicks.
      style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | (dialog ? BS_DEFPUSHBUTTON : BS_PUSHBUTTON);
    } else if (n == L"combo") {
      cls = L"ComboBox";
      style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWN | CBS_AUTOHSCROLL;
      height = 120;
    } else if (n == L"memo" || n == L"rich") {
      if (n == L"rich") cls = L"RichEdit20W";
      style = WS_CHILD | WS_VISIBLE | WS_TABSTOP | WS_BORDER | ES_MULTILINE | ES_WANTRETURN | WS_VSCROLL;
      height = 60;
    } else if (n == L"static") {
      cls = L"Static";
      style = WS_CHILD | WS_VISIBLE;
    } else if (n == L"canvas") {
      cls = L"QmCanvas";
    } else if (n == L"page") {
      cls = L"QmPage";
    } else if (n == L"panel") {
      cls = L"Static";
      style = WS_CHILD | WS_VISIBLE | WS_DISABLED;
      height = 30;
    }
    Control* c = NewControl(n, nullptr);
    c->wnd = ::CreateWindowExW(0, cls, n == L"button" ? L"OK" : L"", style, 10, top, 440, height, main,
                               reinterpret_cast<HMENU>(static_cast<UINT_PTR>(100 + i)), inst, nullptr);
    top += (n == L"combo" || n == L"list" ? 24 : height) + 6;
    if (n == L"canvas") g_canvas = c->wnd;
    g_controls.push_back(c);
    if (n == L"button" || n == L"static") continue;
    if (n == L"panel") {
      Subclass(NewControl(L"panel.edit", ::CreateWindowExW(0, L"Edit", L"", WS_CHILD | WS_VISIBLE | WS_BORDER, 5, 3, 200,
                                                           24, c->wnd, nullptr, inst, nullptr)));
      continue;
    }
    if (n == L"combo") {
      COMBOBOXINFO info{};
      info.cbSize = sizeof(info);
      if (::GetComboBoxInfo(c->wnd, &info) && info.hwndItem) Subclass(NewControl(L"combo.edit", info.hwndItem));
    } else {
      Subclass(c);
    }
  }

  for (Control* c : g_controls)
    if (c->name == L"memo" || c->name == L"rich") {
      const std::wstring text = Arg(args, L"--memo-text", L"");
      g_quiet = true;
      ::SetWindowTextW(c->wnd, text.c_str());
      g_quiet = false;
      const int caret = Int(args, L"--memo-caret", static_cast<int>(text.size()));
      ::SendMessageW(c->wnd, EM_SETSEL, caret, caret);
    }

  const std::wstring show = Arg(args, L"--show", L"normal");
  ::ShowWindow(main, show == L"min" ? SW_SHOWMINIMIZED : show == L"max" ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL);
  ::UpdateWindow(main);
  if (!Flag(args, L"--no-foreground")) ::SetForegroundWindow(main);

  const std::wstring focus = Arg(args, L"--focus", L"edit1");
  if (focus == L"none") ::SetFocus(main);
  for (Control* c : g_controls)
    if (c->name == focus) ::SetFocus(c->name == L"combo" ? ::GetWindow(c->wnd, GW_CHILD) : c->wnd);

  std::wstring ready = L"READY main=" + Hex(reinterpret_cast<UINT_PTR>(main));
  for (Control* c : g_controls) ready += L" " + c->name + L"=" + Hex(reinterpret_cast<UINT_PTR>(c->wnd));
  for (Control* c : g_logged)
    if (c->name.find(L'.') != std::wstring::npos) ready += L" " + c->name + L"=" + Hex(reinterpret_cast<UINT_PTR>(c->wnd));
  Log(ready);

  MSG msg;
  while (::GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (dialog && ::IsDialogMessageW(main, &msg)) continue;
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  return 0;
}
