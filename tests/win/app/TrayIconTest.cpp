// The notification icon when the shell does not take it. Wine's shell takes
// every icon, and the real shell's refusals (at log-on; a call that timed
// out) cannot be caused on demand: Shell_NotifyIconW goes through a table
// that these tests swap for one that refuses, then passes on to Wine's. The
// same table records the message filter of an elevated window: Wine has no
// UIPI, so only that the window asks for it can be shown.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "WinTestSupport.h"
#include "app/MainFrmIds.h"
#include "app/UMainFrm.h"
#include "platform/Application.h"
#include "platform/Messages.h"
#include "platform/NotifyIcon.h"

namespace qm {
namespace {

struct TRefusingShell {
  static TRefusingShell& The() {
    static TRefusingShell shell;
    return shell;
  }
  static BOOL WINAPI Notify(DWORD message, PNOTIFYICONDATAW data) {
    TRefusingShell& s = The();
    s.calls.push_back(message);
    if (s.refusing) {
      // A call that timed out may have done its work all the same.
      if (s.addsAnyway && message == NIM_ADD) SystemShellFunctions().NotifyIcon(message, data);
      return FALSE;
    }
    return SystemShellFunctions().NotifyIcon(message, data);
  }
  static BOOL WINAPI Filter(HWND wnd, UINT message, DWORD action, PCHANGEFILTERSTRUCT status) {
    The().filtered.push_back({wnd, message, action});
    return SystemShellFunctions().ChangeWindowMessageFilterEx(wnd, message, action, status);
  }
  struct TFiltered {
    HWND wnd;
    UINT message;
    DWORD action;
    bool operator==(const TFiltered&) const = default;
  };
  std::vector<DWORD> calls;
  std::vector<TFiltered> filtered;
  bool refusing = true, addsAnyway = false;
};

class TrayIcon : public ::testing::Test {
 protected:
  void SetUp() override {
    shell_ = TRefusingShell{};
    saved_ = ShellFunctions();
    ShellFunctions() = TShellFunctions{&TRefusingShell::Notify, &TRefusingShell::Filter};
  }
  void Start() {
    ASSERT_TRUE(qmtest::WriteTestConfig());
    frm_ = std::make_unique<TMainFrm>();
    ASSERT_TRUE(frm_->Create());
    frm_->Show(SW_SHOWNORMAL);
    qmtest::PumpFor(100);
  }
  void TearDown() override {
    shell_.refusing = false;  // the icon is removed for real
    if (frm_) frm_->Destroy();
    frm_.reset();
    ShellFunctions() = saved_;
    ::DeleteFileW((TApplication::ExeDir() + L"config.ini").c_str());
  }
  HWND Wnd() const { return frm_->Handle(); }
  void CloseBox() {
    ::SendMessageW(Wnd(), WM_CLOSE, 0, 0);
    qmtest::PumpFor(100);
  }
  bool Hidden() const { return !::IsWindowVisible(Wnd()); }
  bool Minimised() const { return ::IsWindowVisible(Wnd()) && ::IsIconic(Wnd()); }
  std::wstring LogText() const {
    HWND log = ::GetDlgItem(::GetDlgItem(Wnd(), kIdPnlLog), kIdMmLog);
    wchar_t buf[4096] = {};
    ::GetWindowTextW(log, buf, 4096);
    return buf;
  }
  // Waits for the retry timer to take the icon to the shell.
  bool WaitShown() {
    return qmtest::PumpUntil([&] { return !shell_.calls.empty() && shell_.calls.back() == NIM_SETVERSION; },
                             TMainFrm::kTrayRetryMs + 3000);
  }

  TRefusingShell& shell_ = TRefusingShell::The();
  TShellFunctions saved_{};
  std::unique_ptr<TMainFrm> frm_;
};

TEST_F(TrayIcon, RefusedItIsTriedAgainAndTheCloseBoxMinimisesMeanwhile) {
  Start();
  ASSERT_FALSE(shell_.calls.empty());
  EXPECT_EQ(shell_.calls.front(), static_cast<DWORD>(NIM_ADD));
  CloseBox();
  EXPECT_TRUE(Minimised()) << "hidden behind an icon that is not there";
  EXPECT_EQ(LogText().find(L"已最小化到托盘"), std::wstring::npos);

  ::ShowWindow(Wnd(), SW_RESTORE);
  shell_.calls.clear();
  shell_.refusing = false;
  ASSERT_TRUE(WaitShown());
  // Wine's shell has no such icon yet: the modify fails, the add does it.
  EXPECT_EQ(shell_.calls, (std::vector<DWORD>{NIM_MODIFY, NIM_ADD, NIM_SETVERSION}));
  CloseBox();
  EXPECT_TRUE(Hidden());
  EXPECT_NE(LogText().find(L"已最小化到托盘（进程继续运行，监听不断）"), std::wstring::npos);
}

TEST_F(TrayIcon, AnAddThatTimedOutButAddedTheIconIsNotAddedTwice) {
  shell_.addsAnyway = true;
  Start();
  shell_.calls.clear();
  shell_.refusing = false;
  ASSERT_TRUE(WaitShown());
  EXPECT_EQ(shell_.calls, (std::vector<DWORD>{NIM_MODIFY, NIM_SETVERSION}));
  CloseBox();
  EXPECT_TRUE(Hidden());
}

TEST_F(TrayIcon, AnIconLostWhileHiddenBringsTheWindowBackAsATaskbarButton) {
  shell_.refusing = false;
  Start();
  CloseBox();
  ASSERT_TRUE(Hidden());
  // The taskbar is created again, and the shell does not take the icon.
  shell_.refusing = true;
  ::SendMessageW(Wnd(), ::RegisterWindowMessageW(L"TaskbarCreated"), 0, 0);
  EXPECT_TRUE(Minimised());
  shell_.refusing = false;
  ASSERT_TRUE(WaitShown());
  ::ShowWindow(Wnd(), SW_RESTORE);
  CloseBox();
  EXPECT_TRUE(Hidden());
}

// Explorer runs at medium integrity: an elevated window hears neither that
// the taskbar is back nor the clicks on its icon unless it lets them in.
TEST_F(TrayIcon, TheShellsMessagesAreLetThroughToAnElevatedWindow) {
  shell_.refusing = false;
  Start();
  using F = TRefusingShell::TFiltered;
  EXPECT_EQ(shell_.filtered, (std::vector<F>{{Wnd(), ::RegisterWindowMessageW(L"TaskbarCreated"), MSGFLT_ALLOW},
                                             {Wnd(), WM_QM_TRAY, MSGFLT_ALLOW}}));
}

}  // namespace
}  // namespace qm
