// Closing to the notification area, the icon and its menu, and the end of
// the process, driven with real input on Wine's stand-in notification area.
#include <gtest/gtest.h>

#include <algorithm>

#include "E2eSupport.h"

#include <shellapi.h>

#include "app/MainFrmIds.h"

namespace {

using namespace qme2e;

const std::wstring kHidden = L"已最小化到托盘（进程继续运行，监听不断）";
const std::wstring kBalloon = L"已最小化到托盘，程序仍在监听";

// A program on a free port with auto-start off, its window moved off the
// stand-in notification area (top left, where the window starts).
struct TTrayApp {
  TTempDir dir;
  std::uint16_t port = FreePort();
  TQuillmere app{dir};
  HWND icon = nullptr;

  bool Start() {
    const std::wstring listener = ListenerLine(port);
    if (!WriteBytes(dir.File(L"config.ini"), "[Config]\r\nPort=" + std::to_string(port) + "\r\nAutoStart=0\r\n") ||
        !app.Start() || !app.WaitLogContains(listener, 10000))
      return false;
    app.MoveMain(700, 300);
    icon = app.TrayIcon();
    return icon != nullptr;
  }
  POINT At() const { return ClickablePoint(icon); }
  bool Visible() const { return ::IsWindowVisible(app.Main()) != FALSE; }
  bool Normal() const { return Visible() && !::IsIconic(app.Main()) && !::IsZoomed(app.Main()); }
  bool Hide() {
    const std::size_t entries = app.LogMessages().size();
    app.Post(WM_CLOSE, 0, 0);
    return WaitFor([&] { return !Visible(); }, 5000) && app.WaitLogSize(entries + 1, 5000);
  }
  static bool NewBalloon(HWND old) {
    // Wine's stand-in shows the balloon's text about two seconds later.
    return WaitFor([&] {
      const HWND b = WaitToolTip(kBalloon, true, 0);
      return b && b != old;
    }, 8000);
  }
  // A real right-button press on the icon; the menu shows before the release.
  HWND OpenMenu() {
    const POINT at = At();
    ::SetCursorPos(at.x, at.y);
    ::Sleep(50);
    WaitPastDoubleClickTime();  // or the press makes a double-click, which shows the window
    MouseButton(MOUSEEVENTF_RIGHTDOWN);
    HWND menu = WaitPopupMenu(app.Pid(), 5000);
    MouseButton(MOUSEEVENTF_RIGHTUP);
    return menu;
  }
  bool IconGone() const {
    return WaitFor(
        [&] {
          const std::vector<HWND> icons = TrayIconWindows();
          return std::find(icons.begin(), icons.end(), icon) == icons.end();
        },
        5000);
  }
};

TEST(ShellTray, CloseRequestsOnlyHideAndTheListenerKeepsRunning) {
  TTrayApp t;
  ASSERT_TRUE(t.Start());
  // Without a window manager Wine draws no frame, so there is no close box
  // to click here: Alt+F4 and the close box's own messages stand in.
  const std::function<void()> requests[] = {
      [&] {
        ::SetForegroundWindow(t.app.Main());
        WaitFor([&] { return ::GetForegroundWindow() == t.app.Main(); }, 2000);
        PressChord({VK_MENU, VK_F4});
      },
      [&] { t.app.Post(WM_SYSCOMMAND, SC_CLOSE, 0); },
      [&] { t.app.Post(WM_CLOSE, 0, 0); },
  };
  std::vector<std::wstring> log = t.app.LogMessages();
  int which = 0;
  for (const auto& request : requests) {
    SCOPED_TRACE(which++);
    ::ShowWindow(t.app.Main(), SW_SHOWNORMAL);
    ASSERT_TRUE(WaitFor([&] { return t.Visible(); }, 5000));
    const HWND oldBalloon = WaitToolTip(kBalloon, true, 0);
    request();
    EXPECT_TRUE(WaitFor([&] { return !t.Visible(); }, 5000));
    log.push_back(kHidden);
    EXPECT_TRUE(t.app.WaitLogSize(log.size(), 5000));
    EXPECT_EQ(U8(t.app.LogMessages()), U8(log));
    EXPECT_TRUE(TTrayApp::NewBalloon(oldBalloon));
    EXPECT_TRUE(t.app.Running());
    EXPECT_TRUE(CanConnect(t.port));
  }
}

TEST(ShellTray, RightPressOpensTheMenuAtTheCursorAndExitEndsTheProcess) {
  TTrayApp t;
  ASSERT_TRUE(t.Start());
  ASSERT_TRUE(t.Hide());
  // Escape and a click elsewhere close the menu and do nothing else.
  HWND menu = t.OpenMenu();
  ASSERT_TRUE(menu);
  PressKey(VK_ESCAPE);
  EXPECT_TRUE(WaitGone(menu, 3000)) << "Escape";
  menu = t.OpenMenu();
  ASSERT_TRUE(menu);
  MouseClickAt(POINT{1500, 900}, MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP);
  EXPECT_TRUE(WaitGone(menu, 3000)) << "a click elsewhere";
  ASSERT_TRUE(t.app.Sync());
  EXPECT_FALSE(t.Visible());
  EXPECT_TRUE(t.app.Running());

  const POINT at = t.At();
  menu = t.OpenMenu();
  ASSERT_TRUE(menu);
  const RECT r = ScreenRect(menu);
  EXPECT_EQ(r.left, at.x);
  EXPECT_EQ(r.top, at.y);
  // The release came before these keys: had it closed the menu, they would
  // choose nothing.
  PressKey(VK_DOWN);  // "显示"
  PressKey(VK_DOWN);  // over the separator to "退出"
  PressKey(VK_RETURN);
  ASSERT_TRUE(t.app.WaitForExit(10000));
  EXPECT_EQ(t.app.ExitCode(), 0u);
  EXPECT_TRUE(t.IconGone());
  EXPECT_FALSE(CanConnect(t.port));
}

TEST(ShellTray, ShowAndDoubleClickBringBackTheNormalWindow) {
  TTrayApp t;
  ASSERT_TRUE(t.Start());
  auto minimise = [&] {
    t.app.Post(WM_SYSCOMMAND, SC_MINIMIZE, 0);
    return WaitFor([&] { return ::IsIconic(t.app.Main()) != FALSE; }, 5000);
  };
  auto chooseShow = [&] {
    if (!t.OpenMenu()) return false;
    PressKey(VK_DOWN);
    PressKey(VK_RETURN);
    return true;
  };

  ASSERT_TRUE(t.Hide());
  ASSERT_TRUE(chooseShow());
  EXPECT_TRUE(WaitFor([&] { return t.Normal(); }, 5000)) << "显示 after hiding";

  ASSERT_TRUE(minimise());
  ASSERT_TRUE(chooseShow());
  EXPECT_TRUE(WaitFor([&] { return t.Normal(); }, 5000)) << "显示 after minimising";

  // A single click does nothing; the second makes a double-click, which shows.
  ASSERT_TRUE(t.Hide());
  const std::vector<std::wstring> log = t.app.LogMessages();
  MouseClickAt(t.At(), MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP);
  // The icon's next press reaches the program after the click: once its
  // menu shows, the click was handled.
  const HWND menu = t.OpenMenu();
  ASSERT_TRUE(menu);
  EXPECT_FALSE(t.Visible()) << "a single left click";
  PressKey(VK_ESCAPE);
  ASSERT_TRUE(WaitGone(menu, 3000));
  DoubleClickAt(t.At());
  EXPECT_TRUE(WaitFor([&] { return t.Normal(); }, 5000)) << "double-click after hiding";

  ASSERT_TRUE(minimise());
  DoubleClickAt(t.At());
  EXPECT_TRUE(WaitFor([&] { return t.Normal(); }, 5000)) << "double-click after minimising";

  ASSERT_TRUE(t.Hide());
  DoubleClickAt(t.At(), MOUSEEVENTF_MIDDLEDOWN, MOUSEEVENTF_MIDDLEUP);
  EXPECT_TRUE(WaitFor([&] { return t.Normal(); }, 5000)) << "middle double-click";

  std::vector<std::wstring> expected = log;
  expected.push_back(kHidden);  // the last hide; showing logs nothing
  EXPECT_EQ(U8(t.app.LogMessages()), U8(expected));
  EXPECT_TRUE(CanConnect(t.port));
}

TEST(ShellTray, ShowBringsAMaximisedThenMinimisedWindowBackToNormal) {
  TTrayApp t;
  ASSERT_TRUE(t.Start());
  t.app.Post(WM_SYSCOMMAND, SC_MAXIMIZE, 0);
  ASSERT_TRUE(WaitFor([&] { return ::IsZoomed(t.app.Main()) != FALSE; }, 5000));
  t.app.Post(WM_SYSCOMMAND, SC_MINIMIZE, 0);  // now the icon is uncovered again
  ASSERT_TRUE(WaitFor([&] { return ::IsIconic(t.app.Main()) != FALSE; }, 5000));
  DoubleClickAt(t.At());
  EXPECT_TRUE(WaitFor([&] { return !::IsIconic(t.app.Main()); }, 5000));
  EXPECT_TRUE(WaitFor([&] { return t.Normal(); }, 2000)) << "restored, but maximised again";
}

TEST(ShellTray, IconComesBackWhenTheTaskbarIsCreatedAgain) {
  TTrayApp t;
  ASSERT_TRUE(t.Start());
  // What a restarted shell sees: the icon is gone, then "TaskbarCreated".
  NOTIFYICONDATAW gone{};
  gone.cbSize = sizeof(gone);
  gone.hWnd = t.app.Main();
  gone.uID = qm::kIdTrayIcon;
  ASSERT_TRUE(::Shell_NotifyIconW(NIM_DELETE, &gone));
  ASSERT_TRUE(t.IconGone());
  t.app.Post(::RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  HWND again = nullptr;
  ASSERT_TRUE(WaitFor([&] {
    for (HWND w : TrayIconWindows())
      if (w != t.icon) again = w;
    return again != nullptr;
  }, 5000));
  t.icon = again;
  EXPECT_TRUE(TrayTipShows(t.icon, L"Quillmere " + std::to_wstring(t.port), 8000));
  ASSERT_TRUE(t.Hide());
  DoubleClickAt(t.At());
  EXPECT_TRUE(WaitFor([&] { return t.Normal(); }, 5000)) << "the new icon answers";
}

TEST(ShellTray, EndOfSessionIsNotBlockedAndEndsTheProcessCleanly) {
  TTrayApp t;
  ASSERT_TRUE(t.Start());
  LRESULT answer = FALSE;
  ASSERT_TRUE(t.app.Send(WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, &answer));
  EXPECT_EQ(answer, TRUE) << "while shown";
  ASSERT_TRUE(t.Hide());
  answer = FALSE;
  ASSERT_TRUE(t.app.Send(WM_QUERYENDSESSION, 0, 0, &answer));
  EXPECT_EQ(answer, TRUE) << "while hidden";

  // Another program vetoed: the session goes on, and so does the program.
  // The handler has run when the sent message returns; an end would have
  // destroyed the window in it.
  ASSERT_TRUE(t.app.Send(WM_ENDSESSION, FALSE, 0));
  EXPECT_TRUE(::IsWindow(t.app.Main()));
  EXPECT_TRUE(t.app.SyncPosted());
  EXPECT_TRUE(t.app.Running());
  EXPECT_TRUE(CanConnect(t.port));

  t.app.Send(WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF);
  ASSERT_TRUE(t.app.WaitForExit(10000));
  EXPECT_EQ(t.app.ExitCode(), 0u);
  EXPECT_TRUE(t.IconGone());
  EXPECT_FALSE(CanConnect(t.port));
}

TEST(ShellTray, EndOfSessionWhileThePortBoxIsOpenEndsTheProcess) {
  TTrayApp t;
  ASSERT_TRUE(t.Start());
  t.app.SetText(qm::kIdEdtPort, L"port");
  t.app.PostClick(qm::kIdBtnSavePort);
  const std::optional<TMessageBox> box = WaitMessageBox(t.app.Pid(), 10000);
  ASSERT_TRUE(box);
  LRESULT answer = FALSE;
  ASSERT_TRUE(t.app.Send(WM_QUERYENDSESSION, 0, 0, &answer));
  EXPECT_EQ(answer, TRUE);
  t.app.Send(WM_ENDSESSION, TRUE, 0);
  ASSERT_TRUE(t.app.WaitForExit(10000));
  EXPECT_EQ(t.app.ExitCode(), 0u);
  EXPECT_TRUE(t.IconGone());
}

TEST(ShellTray, ExitWhileThePortBoxIsOpenEndsTheProcess) {
  TTrayApp t;
  ASSERT_TRUE(t.Start());
  const std::uint16_t other = FreePort();
  t.app.SetText(qm::kIdEdtPort, std::to_wstring(other));
  t.app.PostClick(qm::kIdBtnSavePort);
  const std::optional<TMessageBox> box = WaitMessageBox(t.app.Pid(), 10000);
  ASSERT_TRUE(box);
  ASSERT_EQ(U8(box->text), U8(L"端口已保存为 " + std::to_wstring(other) + L"，并重新监听。"));
  ASSERT_TRUE(t.OpenMenu());
  PressKey(VK_DOWN);
  PressKey(VK_DOWN);
  PressKey(VK_RETURN);
  ASSERT_TRUE(t.app.WaitForExit(10000));
  EXPECT_EQ(t.app.ExitCode(), 0u);
  EXPECT_TRUE(t.IconGone());
  EXPECT_FALSE(CanConnect(other));
}

}  // namespace
