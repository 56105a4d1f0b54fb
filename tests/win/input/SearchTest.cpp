#include <gtest/gtest.h>

#include <dwmapi.h>

#include "TargetProcess.h"
#include "WinTestSupport.h"
#include "input/UExternalInput.h"

namespace qm {
namespace {

using qmtest::TargetProcess;

const DWORD kSelf = ::GetCurrentProcessId();

TEST(Search, ClassNamesOfTheWin32BuildMatchTheList) {
  EXPECT_TRUE(IsInputClassName(L"Edit"));
  EXPECT_TRUE(IsInputClassName(L"TMaskEdit"));
  EXPECT_TRUE(IsInputClassName(L"ComboBoxEx32"));
  EXPECT_FALSE(IsInputClassName(L"edit"));
  EXPECT_FALSE(IsInputClassName(L""));
}

TEST(Search, FocusedSingleLineEditOfTheForegroundWindowIsFound) {
  TargetProcess t({L"--focus", L"edit2"});
  ASSERT_TRUE(t.Ready());
  ASSERT_TRUE(::SetForegroundWindow(t.Main()));
  EXPECT_EQ(FindInputControl(nullptr, kSelf, 200), t.Control(L"edit2"));
  t.Focus(2);  // edit1
  EXPECT_EQ(FindInputControl(nullptr, kSelf, 200), t.Control(L"edit1"));
}

TEST(Search, AnotherFocusedControlGetsTheKeysAndOnlyWithoutFocusTheSearchPicksAFieldThatTakesText) {
  // The focus on a button: no field of the window is picked; the keys go there.
  TargetProcess button({L"--focus", L"button"});
  ASSERT_TRUE(button.Ready());
  ASSERT_TRUE(::SetForegroundWindow(button.Main()));
  EXPECT_EQ(FindInputControl(nullptr, kSelf, 0), nullptr);

  // No control has the focus: every field above edit1 in z-order takes no text.
  TargetProcess t({L"--controls", L"hidden,readonly,password,disabled,list,edit1", L"--focus", L"none"});
  ASSERT_TRUE(t.Ready());
  ASSERT_TRUE(::SetForegroundWindow(t.Main()));
  HWND found = nullptr;
  ASSERT_TRUE(FindInputChild(t.Main(), found));
  EXPECT_EQ(found, t.Control(L"edit1"));
  EXPECT_EQ(FindInputControl(nullptr, kSelf, 0), t.Control(L"edit1"));
  // The search's deadline holds inside the window in front too.
  TInputSearch late = SearchFrom(nullptr, kSelf, 0);
  late.Deadline = ::GetTickCount() - 1;
  FindInputControl(late);
  EXPECT_EQ(late.FrontWnd, t.Main());
  EXPECT_EQ(late.FoundWnd, nullptr);
  // A focused read-only field takes no text (the keys go there); a focused
  // password field is the user's choice and is written.
  t.Focus(1);
  EXPECT_EQ(FindInputControl(nullptr, kSelf, 0), nullptr);
  t.Focus(2);
  EXPECT_EQ(FindInputControl(nullptr, kSelf, 0), t.Control(L"password"));
}

TEST(Search, AComboBoxYieldsItsEditChild) {
  TargetProcess t({L"--controls", L"hidden,combo,edit1", L"--focus", L"none"});
  ASSERT_TRUE(t.Ready());
  ASSERT_TRUE(::SetForegroundWindow(t.Main()));
  HWND found = nullptr;
  ASSERT_TRUE(FindInputChild(t.Main(), found));
  EXPECT_EQ(found, t.Control(L"combo.edit"));
  t.Focus(1);  // the combo: its edit child takes the focus
  EXPECT_EQ(FindInputControl(nullptr, kSelf, 200), t.Control(L"combo.edit"));
}

TEST(Search, AWindowWithNoVisibleInputYieldsNothingAndWindowsBehindAreNotSearched) {
  TargetProcess behind({L"--title", L"behind"});
  ASSERT_TRUE(behind.Ready());
  TargetProcess front({L"--controls", L"hidden,button,static", L"--focus", L"button"});
  ASSERT_TRUE(front.Ready());
  ASSERT_TRUE(::SetForegroundWindow(front.Main()));
  HWND found = reinterpret_cast<HWND>(1);
  EXPECT_FALSE(FindInputChild(front.Main(), found));
  EXPECT_EQ(found, nullptr);
  TInputSearch search;
  search.ExcludePid = kSelf;
  FindInputControl(search);
  EXPECT_EQ(search.FrontWnd, front.Main());
  EXPECT_EQ(search.FoundWnd, nullptr);  // the edit of the window behind is never taken
  EXPECT_EQ(PickTargetWindow(nullptr, kSelf), front.Main());
}

TEST(Search, HiddenAncestorsHideTheirChildren) {
  TargetProcess t;
  ASSERT_TRUE(t.Ready());
  ::ShowWindow(t.Main(), SW_HIDE);
  ASSERT_TRUE(t.Sync());
  HWND found = nullptr;
  EXPECT_FALSE(FindInputChild(t.Main(), found));
  EXPECT_FALSE(IsCandidateWindow(t.Main(), nullptr, 0));
}

TEST(Search, CandidatesExcludeOwnProcessToolAndNoActivateWindows) {
  TargetProcess plain, tool({L"--tool"}), noActivate({L"--no-activate"});
  ASSERT_TRUE(plain.Ready() && tool.Ready() && noActivate.Ready());
  EXPECT_TRUE(IsCandidateWindow(plain.Main(), nullptr, kSelf));
  EXPECT_TRUE(IsCandidateWindow(plain.Main(), nullptr, 0));
  EXPECT_FALSE(IsCandidateWindow(plain.Main(), plain.Main(), 0));
  EXPECT_FALSE(IsCandidateWindow(plain.Main(), nullptr, plain.Pid()));
  EXPECT_FALSE(IsCandidateWindow(tool.Main(), nullptr, kSelf));
  EXPECT_FALSE(IsCandidateWindow(noActivate.Main(), nullptr, kSelf));
  EXPECT_FALSE(IsCandidateWindow(nullptr, nullptr, 0));
  EXPECT_FALSE(IsCandidateWindow(reinterpret_cast<HWND>(0x7FFFFFF0), nullptr, 0));  // no such window

  // Cloaked by the window manager (on another virtual desktop): Wine cloaks
  // nothing, so the table says so of the plain window.
  const TDwmFunctions saved = DwmFunctions();
  DwmFunctions().GetWindowAttribute = [](HWND, DWORD attribute, PVOID value, DWORD) -> HRESULT {
    *static_cast<DWORD*>(value) = attribute == DWMWA_CLOAKED ? 2 /* DWM_CLOAKED_SHELL */ : 0;
    return S_OK;
  };
  const bool candidate = IsCandidateWindow(plain.Main(), nullptr, kSelf);
  DwmFunctions() = saved;
  EXPECT_FALSE(candidate);
}

// The program's own window, shown in front of the window the user was in.
class OwnWindow {
 public:
  OwnWindow() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &::DefWindowProcW;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QmInputTestOwn";
    ::RegisterClassExW(&wc);
    // A popup: Wine with no window manager takes 2 s to destroy a framed window.
    wnd_ = ::CreateWindowExW(0, wc.lpszClassName, L"own", WS_POPUP, 50, 50, 300, 200, nullptr, nullptr, wc.hInstance,
                             nullptr);
    // A port box of its own: text typed here would be a fault.
    edit_ = ::CreateWindowExW(0, L"Edit", L"", WS_CHILD | WS_VISIBLE | WS_BORDER, 10, 10, 200, 24, wnd_, nullptr,
                              wc.hInstance, nullptr);
    ::ShowWindow(wnd_, SW_SHOWNORMAL);
    ::SetForegroundWindow(wnd_);
    ::SetFocus(edit_);
    SetOwnWindow(wnd_);
    qmtest::PumpFor(50);
  }
  ~OwnWindow() {
    SetOwnWindow(nullptr);
    ::DestroyWindow(wnd_);
  }
  HWND Wnd() const { return wnd_; }
  HWND Edit() const { return edit_; }

 private:
  HWND wnd_ = nullptr, edit_ = nullptr;
};

TEST(Search, WithTheOwnWindowInFrontTheWindowBelowItIsTheTarget) {
  TargetProcess distant({L"--title", L"far"});
  TargetProcess nearTool({L"--title", L"tool", L"--tool"});
  TargetProcess below({L"--title", L"near", L"--focus", L"edit2"});
  TargetProcess onTop({L"--title", L"on top", L"--topmost", L"--no-foreground"});
  ASSERT_TRUE(distant.Ready() && nearTool.Ready() && below.Ready() && onTop.Ready());
  ::SetForegroundWindow(nearTool.Main());  // z-order now: onTop, nearTool, near, far
  OwnWindow own;
  ASSERT_EQ(::GetForegroundWindow(), own.Wnd());
  // Above the own window is only the always-on-top window; below it the
  // tool window is passed over.
  EXPECT_EQ(PickTargetWindow(own.Wnd(), kSelf), below.Main());
  // Behind the own window it has no focus of its own: the search picks.
  EXPECT_EQ(FindInputControl(own.Wnd(), kSelf, 200), below.Control(L"edit1"));
}

TEST(Search, WithNoOwnWindowAndNoForeignForegroundTheFirstCandidateFromTheTopIsTheTarget) {
  TargetProcess lower({L"--title", L"lower"});
  TargetProcess upper({L"--title", L"upper", L"--focus", L"edit2"});
  TargetProcess tool({L"--title", L"tool", L"--tool"});
  ASSERT_TRUE(lower.Ready() && upper.Ready() && tool.Ready());
  // A window of this process in front, but not the program's main window.
  HWND mine = ::CreateWindowExW(0, L"Static", L"mine", WS_POPUP | WS_VISIBLE, 0, 0, 100, 100, nullptr, nullptr,
                                ::GetModuleHandleW(nullptr), nullptr);
  ::SetForegroundWindow(mine);
  ASSERT_EQ(::GetForegroundWindow(), mine);
  EXPECT_EQ(PickTargetWindow(nullptr, kSelf), upper.Main());  // the tool window above it is passed over
  EXPECT_EQ(FindInputControl(nullptr, kSelf, 0), upper.Control(L"edit1"));  // not focused while behind
  ::DestroyWindow(mine);
}

}  // namespace
}  // namespace qm
