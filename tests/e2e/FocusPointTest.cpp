// The focus point: picked on the overlay from the main window's button,
// stored, shown and logged, and clicked before every later barcode.
#include <gtest/gtest.h>

#include <algorithm>

#include "E2eSupport.h"
#include "TargetProcess.h"
#include "app/MainFrmIds.h"

namespace {

using namespace qme2e;
using qmtest::TargetProcess;

const std::wstring kUnset = L"焦点坐标：未设置（点“拾取焦点”选择录入框位置）";

struct TOverlays {
  DWORD pid;
  std::vector<HWND> wnds;
};

BOOL CALLBACK CollectOverlay(HWND w, LPARAM lp) {
  auto* f = reinterpret_cast<TOverlays*>(lp);
  wchar_t cls[64] = {};
  ::GetClassNameW(w, cls, 64);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(w, &pid);
  if (pid == f->pid && std::wstring(cls) == L"FocusPickerOv3" && ::IsWindowVisible(w)) f->wnds.push_back(w);
  return TRUE;
}

// The visible picker overlays of process pid.
std::vector<HWND> Overlays(DWORD pid) {
  TOverlays f{pid, {}};
  ::EnumWindows(&CollectOverlay, reinterpret_cast<LPARAM>(&f));
  return f.wnds;
}

// A program on a free port with auto-start off and the given focus point.
struct TFocusApp {
  TTempDir dir;
  std::uint16_t port = FreePort();
  TQuillmere app{dir};

  bool Start(int x = 0, int y = 0) {
    const std::wstring listener = ListenerLine(port);
    return WriteBytes(dir.File(L"config.ini"), "[Config]\r\nPort=" + std::to_string(port) +
                                                   "\r\nAutoStart=0\r\nFocusX=" + std::to_string(x) +
                                                   "\r\nFocusY=" + std::to_string(y) + "\r\n") &&
           app.Start() && app.WaitLogContains(listener, 10000);
  }
  HWND OpenPicker() {
    app.PostClick(qm::kIdBtnPickFocus);
    HWND overlay = nullptr;
    WaitFor([&] {
      std::vector<HWND> o = Overlays(app.Pid());
      overlay = o.empty() ? nullptr : o.front();
      return overlay != nullptr;
    }, 10000);
    return overlay;
  }
  bool PickerGone() {
    return WaitFor([&] { return Overlays(app.Pid()).empty(); }, 10000);
  }
  bool MainShown() {
    return WaitFor([&] { return ::IsWindowVisible(app.Main()) != FALSE; }, 10000);
  }
  std::string Config() const { return ReadBytes(dir.File(L"config.ini")); }
};

TEST(FocusPoint, AClickOnTheOverlayStoresShowsAndLogsThePoint) {
  TFocusApp t;
  ASSERT_TRUE(t.Start());
  ASSERT_TRUE(t.OpenPicker());
  EXPECT_FALSE(::IsWindowVisible(t.app.Main()));  // hidden during the pick
  // The crosshair follows the cursor on the picker's timer; the click lands
  // on its centre once it rests there.
  ::SetCursorPos(100, 200);
  ::Sleep(200);
  MouseButton(MOUSEEVENTF_LEFTDOWN);
  MouseButton(MOUSEEVENTF_LEFTUP);
  ASSERT_TRUE(t.PickerGone());
  ASSERT_TRUE(t.MainShown());
  ASSERT_TRUE(t.app.WaitLogContains(L"焦点位置已保存：X=100, Y=200", 5000));
  EXPECT_EQ(U8(t.app.Text(qm::kIdLblFocus)), U8(L"焦点坐标：X=100, Y=200"));
  const std::string ini = t.Config();
  EXPECT_NE(ini.find("FocusX=100\r\n"), std::string::npos) << ini;
  EXPECT_NE(ini.find("FocusY=200\r\n"), std::string::npos) << ini;

  // A second pick replaces the first everywhere.
  ASSERT_TRUE(t.OpenPicker());
  ::SetCursorPos(321, 123);
  ::Sleep(200);
  MouseButton(MOUSEEVENTF_LEFTDOWN);
  MouseButton(MOUSEEVENTF_LEFTUP);
  ASSERT_TRUE(t.PickerGone());
  ASSERT_TRUE(t.app.WaitLogContains(L"焦点位置已保存：X=321, Y=123", 5000));
  EXPECT_EQ(U8(t.app.Text(qm::kIdLblFocus)), U8(L"焦点坐标：X=321, Y=123"));
  EXPECT_NE(t.Config().find("FocusX=321\r\nFocusY=123\r\n"), std::string::npos);
}

TEST(FocusPoint, EscCancelsAndChangesNothing) {
  TFocusApp t;
  ASSERT_TRUE(t.Start(40, 50));
  const std::string ini = t.Config();
  const std::vector<std::wstring> log = t.app.LogMessages();
  const HWND overlay = t.OpenPicker();
  ASSERT_TRUE(overlay);
  ASSERT_TRUE(WaitFor([&] { return ::GetForegroundWindow() == overlay; }, 5000));  // where Esc goes
  PressKey(VK_ESCAPE);
  ASSERT_TRUE(t.PickerGone());
  ASSERT_TRUE(t.MainShown());
  ASSERT_TRUE(t.app.Sync());
  EXPECT_EQ(t.Config(), ini);
  EXPECT_EQ(U8(t.app.LogMessages()), U8(log));
  EXPECT_EQ(U8(t.app.Text(qm::kIdLblFocus)), U8(L"焦点坐标：X=40, Y=50"));
}

TEST(FocusPoint, ASecondPickIsRefusedWhileOneRuns) {
  TFocusApp t;
  ASSERT_TRUE(t.Start());
  const HWND first = t.OpenPicker();
  ASSERT_TRUE(first);
  // The window can come back during a pick (the icon's menu shows it); its
  // button must not start a second overlay.
  ::ShowWindow(t.app.Main(), SW_SHOWNORMAL);
  t.app.PostClick(qm::kIdBtnPickFocus);
  ASSERT_TRUE(t.app.SyncPosted());  // the click has been handled
  EXPECT_EQ(Overlays(t.app.Pid()), std::vector<HWND>{first});
  ::SetForegroundWindow(first);  // Esc goes to the window in front
  PressKey(VK_ESCAPE);
  EXPECT_TRUE(t.PickerGone());
  // The first pick ended normally and the button works again.
  const HWND second = t.OpenPicker();
  ASSERT_TRUE(second);
  ::SetForegroundWindow(second);
  PressKey(VK_ESCAPE);
  EXPECT_TRUE(t.PickerGone());
}

TEST(FocusPoint, ExitDuringAPickEndsThePickAndTheProgram) {
  TFocusApp t;
  ASSERT_TRUE(t.Start());
  ASSERT_TRUE(t.OpenPicker());
  // Wine hands a layered window every mouse event over it, its transparent
  // pixels included, so the icon cannot be reached while the overlay is up
  // here. The command the menu's "退出" runs stands in for the menu, which
  // ShellTray drives for real.
  t.app.Post(WM_COMMAND, MAKEWPARAM(qm::kIdMniExit, 0), 0);
  EXPECT_TRUE(t.app.WaitForExit(15000));
  EXPECT_EQ(t.app.ExitCode(), 0u);
}

// The target lies under the main window's starting place but is the window
// the user works in: the program's own window goes behind it.
struct TTarget {
  TargetProcess proc{{L"--controls", L"edit1,edit2", L"--focus", L"edit1", L"--x", L"600", L"--y", L"400"}};
  POINT Edit2() const {
    RECT r{};
    ::GetWindowRect(proc.Control(L"edit2"), &r);
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
  }
};

TEST(FocusPoint, EveryBarcodeClicksThePointFirstAndTheCursorReturns) {
  TTarget target;
  ASSERT_TRUE(target.proc.Ready());
  const POINT p = target.Edit2();
  TFocusApp t;
  ASSERT_TRUE(t.Start(p.x, p.y));
  EXPECT_EQ(U8(t.app.Text(qm::kIdLblFocus)),
            U8(L"焦点坐标：X=" + std::to_wstring(p.x) + L", Y=" + std::to_wstring(p.y)));
  ::SetForegroundWindow(target.proc.Main());
  ASSERT_TRUE(target.proc.Sync());
  ::SetCursorPos(50, 700);
  ASSERT_TRUE(SendLines(t.port, "ABC\r\nDEF\r\n"));
  ASSERT_TRUE(target.proc.WaitUntil(
      [&](const std::vector<std::wstring>&) { return target.proc.Events(L"edit2", L"ENTER").size() == 2; }, 10000));
  // The click put the focus into edit2, so the text went there.
  EXPECT_EQ(target.proc.Events(L"edit2", L"ENTER"), (std::vector<std::wstring>{L"ABC", L"DEF"}));
  EXPECT_TRUE(target.proc.Events(L"edit1", L"WM_SETTEXT").empty());
  POINT now{};
  ::GetCursorPos(&now);
  EXPECT_EQ(now.x, 50);
  EXPECT_EQ(now.y, 700);
}

// While the overlay is up, barcodes wait until the pick has ended; then
// the new point is clicked first. Delivered during the pick, one would go
// into the field focused before it.
TEST(FocusPoint, ABarcodeThatArrivesDuringAPickWaitsAndGoesToTheNewPoint) {
  TTarget target;
  ASSERT_TRUE(target.proc.Ready());
  TFocusApp t;
  ASSERT_TRUE(t.Start());
  const POINT p = target.Edit2();
  ::SetForegroundWindow(target.proc.Main());
  ASSERT_TRUE(target.proc.Sync());
  ASSERT_TRUE(t.OpenPicker());
  TTcpClient c(t.port);
  ASSERT_TRUE(c.Send("PICK-1\r\n"));
  c.ShutdownSend();
  ASSERT_TRUE(c.ClosedByPeer(10000));  // its reader has queued the barcode and ended
  // The press picks where it is made; Wine hands the overlay every press
  // over it, so no wait for the crosshair to get there.
  ::SetCursorPos(p.x, p.y);
  MouseButton(MOUSEEVENTF_LEFTDOWN);
  MouseButton(MOUSEEVENTF_LEFTUP);
  ASSERT_TRUE(t.PickerGone());
  ASSERT_TRUE(target.proc.WaitUntil(
      [&](const std::vector<std::wstring>&) { return !target.proc.Events(L"edit2", L"ENTER").empty(); }, 10000));
  EXPECT_EQ(target.proc.Events(L"edit2", L"ENTER"), std::vector<std::wstring>{L"PICK-1"});
  EXPECT_TRUE(target.proc.EventsOf(L"edit1").empty());
}

TEST(FocusPoint, APointOnNoMonitorIsShownButNeverClicked) {
  TTarget target;
  ASSERT_TRUE(target.proc.Ready());
  // Left of the primary monitor, where no monitor is connected here.
  TFocusApp t;
  ASSERT_TRUE(t.Start(-500, 300));
  EXPECT_EQ(U8(t.app.Text(qm::kIdLblFocus)), U8(L"焦点坐标：X=-500, Y=300"));
  ::SetForegroundWindow(target.proc.Main());
  ASSERT_TRUE(target.proc.Sync());
  ::SetCursorPos(60, 710);
  ASSERT_TRUE(SendLines(t.port, "NOCLICK\r\n"));
  ASSERT_TRUE(target.proc.WaitUntil(
      [&](const std::vector<std::wstring>&) { return !target.proc.Events(L"edit1", L"ENTER").empty(); }, 10000));
  EXPECT_EQ(target.proc.Events(L"edit1", L"ENTER"), std::vector<std::wstring>{L"NOCLICK"});
  EXPECT_TRUE(target.proc.EventsOf(L"edit2").empty());
  POINT now{};
  ::GetCursorPos(&now);
  EXPECT_EQ(now.x, 60);
  EXPECT_EQ(now.y, 710);
}

}  // namespace
