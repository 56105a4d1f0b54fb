#include "app/UMainFrm.h"

#include <commctrl.h>
#include <windowsx.h>

#include <cwchar>

#include "app/DeliverySettings.h"
#include "app/IntegerSyntax.h"
#include "app/MainFrmIds.h"
#include "input/UExternalInput.h"
#include "net/ConnectionRules.h"
#include "picker/UFocusPicker.h"
#include "platform/AppError.h"
#include "platform/Application.h"
#include "platform/ErrorReport.h"
#include "platform/IniFile.h"
#include "platform/InputSynth.h"
#include "platform/MainThreadQueue.h"
#include "platform/Messages.h"
#include "platform/Registry.h"
#include "platform/ScopeExit.h"
#include "platform/WideText.h"

namespace qm {

TMainFrm* MainFrm = nullptr;

namespace {

// The clicked field takes the focus in its own thread's time, and the
// delivery that follows asks that thread for its focus: without the wait a
// busy target gets the barcode in the field focused before the click.
// Bounded, since a point on something that takes no focus never shows it.
constexpr DWORD kClickFocusWaitMs = 100;

void WaitForClickFocus(POINT pt) {
  const HWND hit = ::WindowFromPoint(pt);
  const DWORD thread = hit ? ::GetWindowThreadProcessId(hit, nullptr) : 0;
  if (!thread) return;
  for (const DWORD start = ::GetTickCount(); ::GetTickCount() - start < kClickFocusWaitMs; ::Sleep(2)) {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    if (::GetGUIThreadInfo(thread, &info) && info.hwndFocus &&
        (info.hwndFocus == hit || ::IsChild(info.hwndFocus, hit) || ::IsChild(hit, info.hwndFocus)))
      return;
  }
}

// One button event at the point, in absolute virtual-desktop coordinates:
// a mouse the user moves meanwhile cannot move the click.
void SendButton(DWORD button, std::int32_t x, std::int32_t y) {
  const int vx = ::GetSystemMetrics(SM_XVIRTUALSCREEN), vy = ::GetSystemMetrics(SM_YVIRTUALSCREEN);
  INPUT in{};
  in.type = INPUT_MOUSE;
  in.mi.dx = AbsoluteMouseCoordinate(x, vx, ::GetSystemMetrics(SM_CXVIRTUALSCREEN));
  in.mi.dy = AbsoluteMouseCoordinate(y, vy, ::GetSystemMetrics(SM_CYVIRTUALSCREEN));
  in.mi.dwFlags = button | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
  InputFunctions().SendInput(1, &in, sizeof(in));
}

// At most one balloon a minute for barcodes that were not entered.
constexpr ULONGLONG kFailBalloonEveryMs = 60000;

constexpr UINT_PTR kTrayRetryTimer = 1;

constexpr wchar_t kSection[] = L"Config";
constexpr wchar_t kRunKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr wchar_t kRunValue[] = L"Quillmere";
constexpr wchar_t kFocusUnset[] = L"焦点坐标：未设置（点“拾取焦点”选择录入框位置）";

struct TLayoutItem {
  int id, x, y, w, h;
};
// Children of the top panel, at 96 DPI; the panels and the log pane follow
// the client area in Layout().
constexpr TLayoutItem kTopPanel[] = {
    {kIdLblPort, 16, 14, 48, 13},      {kIdLblFocus, 168, 50, 360, 13},
    {kIdLblStatus, 16, 84, 520, 13},   {kIdEdtPort, 80, 10, 100, 21},
    {kIdBtnSavePort, 190, 8, 90, 25},  {kIdChkAutoStart, 300, 11, 220, 17},
    {kIdBtnPickFocus, 16, 44, 140, 25},
};
constexpr int kClientW = 560, kClientH = 420, kTopH = 110, kClearW = 80;
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT;

// A panel passes its children's notifications on to the form, as the
// form's own controls would.
LRESULT CALLBACK PanelProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_COMMAND:
    case WM_NOTIFY:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORBTN:
      return ::SendMessageW(::GetParent(wnd), msg, wp, lp);
    case WM_CLOSE:
      return 0;  // a multi-line edit sends it on Esc; a panel is never closed
  }
  return ::DefWindowProcW(wnd, msg, wp, lp);
}

// The read-only log pane asks for every key, so the dialog navigation
// would hand it Tab and Esc; it needs none of them.
LRESULT CALLBACK LogPaneProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR) {
  LRESULT r = ::DefSubclassProc(wnd, msg, wp, lp);
  if (msg == WM_GETDLGCODE) r &= ~(DLGC_WANTALLKEYS | DLGC_WANTTAB);
  return r;
}

std::wstring WindowText(HWND wnd) {
  std::wstring s(static_cast<std::size_t>(::GetWindowTextLengthW(wnd)) + 1, L'\0');
  s.resize(static_cast<std::size_t>(::GetWindowTextW(wnd, s.data(), static_cast<int>(s.size()))));
  return s;
}

std::wstring TrimControlsAndBlanks(const std::wstring& s) {
  std::size_t b = 0, e = s.size();
  while (b < e && s[b] <= 32) ++b;
  while (e > b && s[e - 1] <= 32) --e;
  return s.substr(b, e - b);
}

std::wstring FocusText(std::int32_t x, std::int32_t y) {
  return L"焦点坐标：X=" + std::to_wstring(x) + L", Y=" + std::to_wstring(y);
}

}  // namespace

TMainFrm::~TMainFrm() {
  if (MainFrm == this) MainFrm = nullptr;
}

// ---- Building --------------------------------------------------------------

bool TMainFrm::Create() {
  MainFrm = this;
  taskbarCreated_ = ::RegisterWindowMessageW(L"TaskbarCreated");
  HINSTANCE inst = ::GetModuleHandleW(nullptr);

  WNDCLASSEXW panel{};
  panel.cbSize = sizeof(panel);
  panel.lpfnWndProc = &PanelProc;
  panel.hInstance = inst;
  panel.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  panel.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  panel.lpszClassName = L"TPanel";
  ::RegisterClassExW(&panel);

  WNDCLASSEXW wc{};
  wc.hInstance = inst;
  wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.hIcon = ::LoadIconW(inst, L"MAINICON");
  wc.lpszClassName = L"TMainFrm";
  if (!CreateWnd(wc, kExStyle, L"Quillmere", kStyle, CW_USEDEFAULT, CW_USEDEFAULT, kClientW, kClientH,
                 nullptr))
    return false;
  Guarded([this] { FormCreate(this); });
  return true;
}

void TMainFrm::BuildComponents() {
  HWND form = Handle();
  HINSTANCE inst = ::GetModuleHandleW(nullptr);
  // Run elevated, the window would never hear Explorer (medium integrity):
  // neither that the taskbar is back nor the clicks on its icon.
  for (UINT msg : {taskbarCreated_, WM_QM_TRAY})
    if (msg) ShellFunctions().ChangeWindowMessageFilterEx(form, msg, MSGFLT_ALLOW, nullptr);
  auto child = [&](const wchar_t* cls, const wchar_t* text, DWORD style, DWORD exStyle, HWND parent,
                   int id) {
    return ::CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent,
                             reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), inst, nullptr);
  };
  // Layout order; the tab stops come in tab order.
  pnlTop = child(L"TPanel", L"", WS_CLIPCHILDREN, WS_EX_CONTROLPARENT, form, kIdPnlTop);
  lblPort = child(WC_STATICW, L"监听端口", SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, pnlTop, kIdLblPort);
  lblFocus = child(WC_STATICW, L"焦点坐标：未设置", SS_LEFT | SS_NOPREFIX, 0, pnlTop, kIdLblFocus);
  lblStatus = child(WC_STATICW, L"状态：未启动", SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, pnlTop, kIdLblStatus);
  edtPort = child(WC_EDITW, L"20222", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, pnlTop, kIdEdtPort);
  btnSavePort = child(WC_BUTTONW, L"保存并监听", WS_TABSTOP | BS_PUSHBUTTON, 0, pnlTop, kIdBtnSavePort);
  chkAutoStart = child(WC_BUTTONW, L"开机自动启动", WS_TABSTOP | BS_AUTOCHECKBOX, 0, pnlTop, kIdChkAutoStart);
  btnPickFocus = child(WC_BUTTONW, L"拾取焦点位置", WS_TABSTOP | BS_PUSHBUTTON, 0, pnlTop, kIdBtnPickFocus);
  pnlLog = child(L"TPanel", L"", WS_CLIPCHILDREN, WS_EX_CONTROLPARENT, form, kIdPnlLog);
  mmLog = child(WC_EDITW, L"", WS_TABSTOP | WS_VSCROLL | ES_MULTILINE | ES_READONLY | ES_AUTOVSCROLL,
                WS_EX_CLIENTEDGE, pnlLog, kIdMmLog);
  btnClearLog = child(WC_BUTTONW, L"清空日志", WS_TABSTOP | BS_PUSHBUTTON, 0, pnlLog, kIdBtnClearLog);
  ::SendMessageW(mmLog, EM_SETLIMITTEXT, 0, 0);  // the default 32K would silently drop lines
  ::SetWindowSubclass(mmLog, &LogPaneProc, 0, 0);

  TrayPopup.reset(::CreatePopupMenu());
  mniShow = kIdMniShow;
  mniExit = kIdMniExit;
  ::AppendMenuW(TrayPopup.get(), MF_STRING, mniShow, L"显示");
  ::AppendMenuW(TrayPopup.get(), MF_SEPARATOR, mniSep, nullptr);
  ::AppendMenuW(TrayPopup.get(), MF_STRING, mniExit, L"退出");

  ApplyDpi(::GetDpiForWindow(form));
  RECT r{0, 0, Scale(kClientW), Scale(kClientH)};
  ::AdjustWindowRectExForDpi(&r, kStyle, FALSE, kExStyle, dpi_);
  ::SetWindowPos(form, nullptr, 0, 0, r.right - r.left, r.bottom - r.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

  const int cx = ::GetSystemMetricsForDpi(SM_CXSMICON, dpi_);
  const int cy = ::GetSystemMetricsForDpi(SM_CYSMICON, dpi_);
  smallIcon_.reset(static_cast<HICON>(::LoadImageW(inst, L"MAINICON", IMAGE_ICON, cx, cy, 0)));
  ::SendMessageW(form, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_.get()));
  // At log-on the shell may not be ready for it yet.
  if (!TrayIcon.Add(form, kIdTrayIcon, WM_QM_TRAY, smallIcon_.get(), L"Quillmere")) RetryTrayIcon();
  SetOwnWindow(form);  // the delivery never types into this window
}

void TMainFrm::ApplyDpi(UINT dpi) {
  dpi_ = dpi ? dpi : 96;
  font_.reset(::CreateFontW(-::MulDiv(8, static_cast<int>(dpi_), 72), 0, 0, 0, FW_NORMAL, FALSE,
                            FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                            DEFAULT_QUALITY, DEFAULT_PITCH | FF_DONTCARE, L"Tahoma"));
  for (HWND c : {lblPort, lblFocus, lblStatus, edtPort, btnSavePort, chkAutoStart, btnPickFocus,
                 mmLog, btnClearLog})
    ::SendMessageW(c, WM_SETFONT, reinterpret_cast<WPARAM>(font_.get()), TRUE);
  Layout();
}

void TMainFrm::Layout() {
  if (!pnlTop) return;
  RECT rc;
  ::GetClientRect(Handle(), &rc);
  const int w = rc.right, h = rc.bottom;
  const int top = Scale(kTopH) < h ? Scale(kTopH) : h;
  ::MoveWindow(pnlTop, 0, 0, w, top, TRUE);
  ::MoveWindow(pnlLog, 0, top, w, h - top, TRUE);
  const int clearW = Scale(kClearW) < w ? Scale(kClearW) : w;
  ::MoveWindow(mmLog, 0, 0, w - clearW, h - top, TRUE);
  ::MoveWindow(btnClearLog, w - clearW, 0, clearW, h - top, TRUE);
  for (const TLayoutItem& it : kTopPanel)
    ::MoveWindow(::GetDlgItem(pnlTop, it.id), Scale(it.x), Scale(it.y), Scale(it.w), Scale(it.h), TRUE);
}

void TMainFrm::Show(int showCmd) {
  ::ShowWindow(Handle(), showCmd);
  ::UpdateWindow(Handle());
}

void TMainFrm::Destroy() {
  if (Handle()) ::DestroyWindow(Handle());
}

// ---- Messages --------------------------------------------------------------

LRESULT TMainFrm::HandleMessage(UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_CREATE: BuildComponents(); return 0;
    case WM_SIZE: Layout(); return 0;
    case WM_DPICHANGED: {
      const RECT* r = reinterpret_cast<const RECT*>(lp);
      dpi_ = HIWORD(wp);
      ::SetWindowPos(Handle(), nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
      ApplyDpi(HIWORD(wp));
      return 0;
    }
    case WM_COMMAND: OnCommand(LOWORD(wp), HIWORD(wp)); return 0;
    case WM_CTLCOLORSTATIC:
      // A read-only edit is painted as a static; the log keeps the window colour.
      if (reinterpret_cast<HWND>(lp) == mmLog) {
        ::SetBkColor(reinterpret_cast<HDC>(wp), ::GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(::GetSysColorBrush(COLOR_WINDOW));
      }
      break;
    case WM_CLOSE: OnCloseRequest(); return 0;
    case WM_QUERYENDSESSION: return TRUE;  // never stand in the way of a log-off
    case WM_ENDSESSION:
      if (wp) OnEndSession();
      return 0;
    case WM_DESTROY: FormDestroy(this); return 0;
    case WM_QM_TRAY: OnTray(LOWORD(lp)); return 0;
    case WM_TIMER:
      if (wp != kTrayRetryTimer) break;
      OnTrayRetryTimer();
      return 0;
    default:
      if (msg == taskbarCreated_ && taskbarCreated_ != 0) {
        if (TrayIcon.Readd()) {
          ::KillTimer(Handle(), kTrayRetryTimer);
        } else {
          // Hidden behind an icon that is gone, the program could not be
          // reached: it comes back as a taskbar button.
          if (!::IsWindowVisible(Handle())) ::ShowWindow(Handle(), SW_SHOWMINNOACTIVE);
          RetryTrayIcon();
        }
        return 0;
      }
  }
  return Default(msg, wp, lp);
}

void TMainFrm::OnCommand(int id, int code) {
  if (code != BN_CLICKED && code != 0) return;
  switch (id) {
    case kIdBtnSavePort: btnSavePortClick(this); break;
    case kIdChkAutoStart: chkAutoStartClick(this); break;
    case kIdBtnPickFocus: btnPickFocusClick(this); break;
    case kIdBtnClearLog: btnClearLogClick(this); break;
    case kIdMniShow: mniShowClick(this); break;
    case kIdMniExit: mniExitClick(this); break;
  }
}

void TMainFrm::OnTray(UINT event) {
  POINT pt{};
  ::GetCursorPos(&pt);  // where the cursor is as the press is handled
  TShiftState shift = (::GetKeyState(VK_SHIFT) < 0 ? MK_SHIFT : 0) |
                      (::GetKeyState(VK_CONTROL) < 0 ? MK_CONTROL : 0);
  switch (event) {
    case WM_LBUTTONDOWN: TrayIconMouseDown(this, TMouseButton::mbLeft, shift, pt.x, pt.y); break;
    case WM_RBUTTONDOWN: TrayIconMouseDown(this, TMouseButton::mbRight, shift, pt.x, pt.y); break;
    case WM_MBUTTONDOWN: TrayIconMouseDown(this, TMouseButton::mbMiddle, shift, pt.x, pt.y); break;
    case WM_LBUTTONDBLCLK:
    case WM_RBUTTONDBLCLK:
    case WM_MBUTTONDBLCLK: TrayIconDblClick(this); break;
  }
}

void TMainFrm::OnCloseRequest() {
  bool CanClose = true;
  FormCloseQuery(this, CanClose);
  if (!CanClose) return;
  TCloseAction Action = TCloseAction::caHide;
  FormClose(this, Action);
  if (Action == TCloseAction::caNone) return;
  // The main window: any close that passes ends the application.
  TApplication::Terminate();
}

void TMainFrm::RetryTrayIcon() {
  trayRetriesLeft_ = kTrayRetries;
  ::SetTimer(Handle(), kTrayRetryTimer, kTrayRetryMs, nullptr);
}

void TMainFrm::OnTrayRetryTimer() {
  if (TrayIcon.Readd() || --trayRetriesLeft_ <= 0) ::KillTimer(Handle(), kTrayRetryTimer);
}

void TMainFrm::OnEndSession() {
  // The session ends once this returns: stop and clean up now.
  FClosing = true;
  TApplication::Terminate();
  Destroy();
}

// ---- Form events -----------------------------------------------------------

void TMainFrm::FormCreate(TObject*) {
  FClosing = false;
  FIniPath = TApplication::ExeDir() + L"config.ini";
  FServer.reset();
  LoadConfig();
  ::SetWindowTextW(edtPort, std::to_wstring(FPort).c_str());
  try {
    SetAutoStartChecked(FAutoStart);
  } catch (...) {
    // Reported once the message loop runs; start-up goes on, so a settings
    // file that cannot be written does not leave the program deaf.
    std::wstring message = CurrentExceptionMessage();
    TMainThreadQueue::Queue([message] { throw EAppError(message); });
  }
  ::SetWindowTextW(lblFocus, FocusPointIsSet() ? FocusText(FFocusX, FFocusY).c_str() : kFocusUnset);
  SetTrayTip();
  LoadAllowFrom();
  LoadDeliverySettings();
  FScans.LoadConfig(FIniPath);
  StartServer();
  AddLog(L"程序启动完成");
}

void TMainFrm::FormDestroy(TObject*) {
  if (destroyed_) return;
  destroyed_ = true;
  Guarded([this] { StopServer(); });
  TrayIcon.Remove();
  SetOwnWindow(nullptr);
}

void TMainFrm::FormCloseQuery(TObject*, bool& CanClose) {
  if (FClosing) return;
  CanClose = false;
  if (!TrayIcon.Shown()) {
    // Hidden without an icon, the program could not be reached again.
    ::ShowWindow(Handle(), SW_MINIMIZE);
    return;
  }
  ::ShowWindow(Handle(), SW_HIDE);
  TrayIcon.ShowBalloon(L"已最小化到托盘，程序仍在监听", L"Quillmere", 10000);
  AddLog(L"已最小化到托盘（进程继续运行，监听不断）");
}

void TMainFrm::FormClose(TObject*, TCloseAction& Action) { Action = TCloseAction::caFree; }

void TMainFrm::TrayIconDblClick(TObject* Sender) { mniShowClick(Sender); }

void TMainFrm::TrayIconMouseDown(TObject*, TMouseButton Button, TShiftState, std::int32_t X,
                                 std::int32_t Y) {
  if (Button != TMouseButton::mbRight) return;
  HWND form = Handle();
  ::SetForegroundWindow(form);  // or the menu stays open when the user clicks elsewhere
  UINT cmd = static_cast<UINT>(::TrackPopupMenu(
      TrayPopup.get(), TPM_LEFTALIGN | TPM_TOPALIGN | TPM_RIGHTBUTTON | TPM_RETURNCMD, X, Y, 0, form,
      nullptr));
  ::PostMessageW(form, WM_NULL, 0, 0);  // lets the menu close properly next time
  if (cmd == mniShow) mniShowClick(this);
  else if (cmd == mniExit) mniExitClick(this);
}

void TMainFrm::mniShowClick(TObject*) {
  HWND form = Handle();
  ::ShowWindow(form, SW_SHOW);
  ::SetForegroundWindow(form);
  // A window minimised from maximised is restored maximised: then once more.
  for (int i = 0; i < 2 && (::IsIconic(form) || ::IsZoomed(form)); ++i) ::ShowWindow(form, SW_RESTORE);
  ::BringWindowToTop(form);
  ::SetForegroundWindow(form);
}

void TMainFrm::mniExitClick(TObject*) {
  FClosing = true;
  OnCloseRequest();
}

void TMainFrm::btnClearLogClick(TObject*) {
  ::SetWindowTextW(mmLog, L"");
  logEntries_.clear();
}

// ---- Settings and listener -------------------------------------------------

void TMainFrm::LoadConfig() {
  TIniFile ini(FIniPath);
  auto read = [&](const wchar_t* key, std::int32_t def) {
    return ParseInt32Or(ToU16(ini.ReadString(kSection, key, L"")), def);
  };
  FPort = read(L"Port", 20222);
  FAutoStart = read(L"AutoStart", 1) == 1;
  FFocusX = read(L"FocusX", 0);
  FFocusY = read(L"FocusY", 0);
}

void TMainFrm::SaveConfig() {
  TIniFile ini(FIniPath);
  ini.WriteInteger(kSection, L"Port", FPort);
  ini.WriteInteger(kSection, L"AutoStart", FAutoStart ? 1 : 0);
  ini.WriteInteger(kSection, L"FocusX", FFocusX);
  ini.WriteInteger(kSection, L"FocusY", FFocusY);
  ini.UpdateFile();
}

// Not written by SaveConfig: the file's own text stays the user's.
// Read as the user wrote them, never written back.
void TMainFrm::LoadDeliverySettings() {
  const TIniFile ini(FIniPath);
  TDeliveryConfig config;
  const auto read = [&ini](const wchar_t* key) -> std::optional<std::u16string> {
    if (!ini.HasKey(kSection, key)) return std::nullopt;
    return ToU16(ini.ReadString(kSection, key, L""));
  };
  config.Delivery = read(L"Delivery");
  config.Ending = read(L"Ending");
  config.KeyDelay = read(L"KeyDelay");
  for (const std::wstring& line : ini.ReadSection(L"Apps")) config.AppLines.push_back(ToU16(line));
  TDeliveryReading reading = ReadDeliveryConfig(config);
  for (const std::u16string& line : reading.Invalid) AddLog(L"配置项无效：" + ToWide(line));
  AddLog(ToWide(DeliveryLine(reading.Settings)));
  SetDeliverySettings(std::move(reading.Settings));
}

void TMainFrm::LoadAllowFrom() {
  const TAllowFrom allow = ParseAllowFrom(ToU16(TIniFile(FIniPath).ReadString(kSection, L"AllowFrom", L"")));
  for (const std::u16string& entry : allow.invalid) AddLog(L"AllowFrom 中的条目无效：" + ToWide(entry));
  if (allow.invalidCount > allow.invalid.size())
    AddLog(L"AllowFrom 中另有 " + std::to_wstring(allow.invalidCount - allow.invalid.size()) + L" 个条目无效");
  FGate->SetAllowFrom(allow);
}

void TMainFrm::StartServer() {
  StopServer();
  FServer = std::make_unique<TBarcodeServer>(
      FPort, [this](const std::wstring& s, const TSender& from) { HandleScan(s, from); },
      [this](const std::wstring& s) { AddLog(s); }, FGate, FScans.Replies());
  (void)FServer->Start();
  SetStatusListening();
  SetTrayTip();
}

void TMainFrm::StopServer() {
  if (!FServer) return;
  FServer->Stop();
  FServer->WaitFor();
  std::unique_ptr<TBarcodeServer> server = std::move(FServer);
  server.reset();
  ::SetWindowTextW(lblStatus, L"已停止监听");
}

void TMainFrm::SetStatusListening() {
  ::SetWindowTextW(lblStatus, (L"监听中：TCP 端口 " + std::to_wstring(FPort)).c_str());
}

void TMainFrm::SetTrayTip() { TrayIcon.SetTip(L"Quillmere " + std::to_wstring(FPort)); }

void TMainFrm::AddLog(const std::wstring& S) {
  SYSTEMTIME t;
  ::GetLocalTime(&t);
  wchar_t sep[8] = L":";
  if (::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_STIME, sep, 8) == 0) std::wcscpy(sep, L":");
  wchar_t stamp[40];
  std::swprintf(stamp, 40, L"%02u%ls%02u%ls%02u", t.wHour, sep, t.wMinute, sep, t.wSecond);
  const std::wstring line = stamp + (L"  " + S);
  if (!mmLog || !::IsWindow(mmLog)) return;

  const std::wstring add = logEntries_.empty() ? line : L"\r\n" + line;
  int end = ::GetWindowTextLengthW(mmLog);
  ::SendMessageW(mmLog, EM_SETSEL, end, end);
  ::SendMessageW(mmLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(add.c_str()));
  logEntries_.push_back(line.size());
  if (logEntries_.size() > 500) {
    // The oldest entry goes whole, however many lines it wraps to.
    const WPARAM cut = logEntries_.front() + 2;
    ::SendMessageW(mmLog, EM_SETSEL, 0, static_cast<LPARAM>(cut));
    ::SendMessageW(mmLog, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(L""));
    logEntries_.pop_front();
  }
  end = ::GetWindowTextLengthW(mmLog);
  ::SendMessageW(mmLog, EM_SETSEL, end, end);
  ::SendMessageW(mmLog, EM_SCROLLCARET, 0, 0);
}

// ---- Barcodes ----------------------------------------------------------------

bool TMainFrm::FocusPointIsSet() const noexcept { return !(FFocusX == 0 && FFocusY == 0); }

void TMainFrm::HandleScan(const std::wstring& S, const TSender& From) {
  FScans.Handle(S, From, [&] { return HandleBarcode(S); });
}

TDeliveryOutcome TMainFrm::HandleBarcode(const std::wstring& S) {
  // A point left behind by a monitor that is gone is never clicked.
  if (FocusPointIsSet() && ::MonitorFromPoint(POINT{FFocusX, FFocusY}, MONITOR_DEFAULTTONULL))
    ClickAt(FFocusX, FFocusY);
  const TDeliveryOutcome outcome = SendExternalText(S + L"\r");
  const std::u16string line = NotEnteredLogLine(outcome.Reason, ToU16(S));
  if (line.empty()) return outcome;
  AddLog(ToWide(line));
  if (const std::u16string& exe = outcome.UnruledProgram; !exe.empty()) {
    bool hinted = false;
    for (const std::u16string& known : keysHinted_) hinted = hinted || SameExeName(known, exe);
    if (!hinted) {
      keysHinted_.push_back(exe);
      AddLog(L"提示：该程序可能只接受键盘输入，可在 config.ini 的 [Apps] 中加入 " + ToWide(exe) + L"=keys");
    }
  }
  // The window usually sits hidden: a balloon says where to look.
  if (outcome.FirstForProcess) {
    TrayIcon.ShowBalloon(L"目标程序以管理员身份运行，无法录入。请以管理员身份运行 Quillmere。", L"Quillmere", 10000);
  } else if (lastFailBalloon_ == 0 || ::GetTickCount64() - lastFailBalloon_ >= kFailBalloonEveryMs) {
    TrayIcon.ShowBalloon(L"有条码未能录入，详见日志", L"Quillmere", 10000);
  } else {
    return outcome;
  }
  lastFailBalloon_ = ::GetTickCount64();
  return outcome;
}

void TMainFrm::ClickAt(std::int32_t x, std::int32_t y) {
  const TInputFunctions& in = InputFunctions();
  POINT back{};
  const bool known = in.GetCursorPos(&back) != FALSE;
  in.SetCursorPos(x, y);
  ::Sleep(30);
  SendButton(MOUSEEVENTF_LEFTDOWN, x, y);
  ::Sleep(20);
  SendButton(MOUSEEVENTF_LEFTUP, x, y);
  ::Sleep(30);
  WaitForClickFocus(POINT{x, y});
  if (known) in.SetCursorPos(back.x, back.y);  // nowhere to return to otherwise
}

// ---- Port change -------------------------------------------------------------

void TMainFrm::ShowMessage(const std::wstring& text) {
  ::MessageBoxW(nullptr, text.c_str(), TApplication::Title().c_str(), MB_OK | MB_TASKMODAL);
}

void TMainFrm::btnSavePortClick(TObject*) {
  std::int32_t port = 0;
  if (!TryParseInt32(ToU16(TrimControlsAndBlanks(WindowText(edtPort))), port)) {
    ShowMessage(L"端口必须是数字");
    return;
  }
  if (port <= 0 || port > 65535) {
    ShowMessage(L"端口范围需在 1 - 65535 之间");
    return;
  }
  FPort = port;
  SaveConfig();
  SetTrayTip();
  LoadAllowFrom();
  LoadDeliverySettings();
  FScans.LoadConfig(FIniPath);
  // The port is held exclusively, and connections accepted on it keep it
  // from being bound again: a listener already on it stays as it is. A
  // stored port wider than 16 bits listens on its low 16 bits.
  const bool keep = FServer && (FServer->Port() & 0xFFFF) == (FPort & 0xFFFF) && FServer->Active();
  if (keep) SetStatusListening();
  else StartServer();
  AddLog(L"端口已保存并重新监听：" + std::to_wstring(FPort));
  if (keep) AddLog(ToWide(FGate->AllowFromLine()));  // a new listener says it itself
  ShowMessage(L"端口已保存为 " + std::to_wstring(FPort) + L"，并重新监听。");
}

// ---- Auto-start --------------------------------------------------------------

void TMainFrm::SetAutoStartChecked(bool checked) {
  const bool now = ::SendMessageW(chkAutoStart, BM_GETCHECK, 0, 0) == BST_CHECKED;
  if (now == checked) return;
  ::SendMessageW(chkAutoStart, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
  chkAutoStartClick(this);  // a change of state runs the click handler, as a click would
}

void TMainFrm::chkAutoStartClick(TObject*) {
  FAutoStart = ::SendMessageW(chkAutoStart, BM_GETCHECK, 0, 0) == BST_CHECKED;
  SaveConfig();
  ApplyAutoStart(FAutoStart);
}

void TMainFrm::ApplyAutoStart(bool on) {
  TRegistryKey key;
  if (!key.OpenOrCreate(HKEY_CURRENT_USER, kRunKey, KEY_SET_VALUE | KEY_QUERY_VALUE)) return;
  try {
    if (on) {
      const std::wstring value = L"\"" + TApplication::ExePath() + L"\"";
      key.WriteString(kRunValue, value);
      AddLog(L"已写入开机自启：" + value);
    } else {
      if (key.ValueExists(kRunValue)) key.DeleteValue(kRunValue);
      AddLog(L"已取消开机自启");
    }
  } catch (...) {
    AddLog(L"开机自启设置失败：" + CurrentExceptionMessage());
  }
}

// ---- Focus point -------------------------------------------------------------

void TMainFrm::btnPickFocusClick(TObject*) {
  // The window can come back during a pick (the icon's menu); one pick at a time.
  if (ActivePicker() || pickQueued_) return;
  // A queued call of its own, so barcodes wait until the pick has ended: one
  // delivered during it would click its focus point on the overlay, end the
  // pick there and go elsewhere.
  pickQueued_ = true;
  TMainThreadQueue::Queue([this] {
    pickQueued_ = false;
    RunPick();
  });
}

void TMainFrm::RunPick() {
  HWND form = Handle();
  ::ShowWindow(form, SW_HIDE);
  ScopeExit back([form] {
    ::ShowWindow(form, SW_SHOW);
    ::BringWindowToTop(form);
    ::SetForegroundWindow(form);
  });
  PickFocusPoint([this](std::int32_t x, std::int32_t y) { HandleFocusPicked(x, y); });
}

void TMainFrm::HandleFocusPicked(std::int32_t AX, std::int32_t AY) {
  FFocusX = AX;
  FFocusY = AY;
  SaveConfig();
  ::SetWindowTextW(lblFocus, FocusText(AX, AY).c_str());
  AddLog(L"焦点位置已保存：X=" + std::to_wstring(AX) + L", Y=" + std::to_wstring(AY));
}

}  // namespace qm
