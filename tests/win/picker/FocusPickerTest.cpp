// The picker's loop under Wine with real windows and real synthesized input:
// what starts it, what ends it, and what it leaves behind.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "PickerTestSupport.h"
#include "WinTestSupport.h"
#include "platform/InputSynth.h"
#include "platform/MainThreadQueue.h"
#include "platform/ScopeExit.h"

namespace qm {
namespace {

using qmtest::ClickButton;
using qmtest::CursorCounter;
using qmtest::FindOverlay;
using qmtest::PressKey;
using qmtest::TPickScript;

struct TPicks {
  int Calls = 0;
  TPickPoint Point;
  TOnFocusPicked Callback() {
    return [this](std::int32_t x, std::int32_t y) {
      ++Calls;
      Point = {x, y};
    };
  }
};

// A key no keyboard has, pressed after other input as a marker.
constexpr BYTE kMarkKey = 0xE8;

bool CrosshairAt(std::int32_t x, std::int32_t y) {
  return ActivePicker() && ActivePicker()->Crosshair() == TPickPoint{x, y};
}

class FocusPickerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    qmtest::PumpFor(30);
    counter_ = CursorCounter();
  }
  void TearDown() override {
    // Whatever ended the pick, nothing of it is left.
    EXPECT_EQ(ActivePicker(), nullptr);
    EXPECT_EQ(FindOverlay(), nullptr);
    EXPECT_EQ(CursorCounter(), counter_);
    qmtest::PumpFor(30);
  }

  // Runs a pick with the script's steps inside its loop.
  void Pick(TPickScript& script, TOnFocusPicked onPicked) {
    script.Start();
    PickFocusPoint(std::move(onPicked));
    script.Stop();
    EXPECT_FALSE(script.TimedOut());
    EXPECT_TRUE(script.Finished());
  }

  int counter_ = 0;
};

TEST_F(FocusPickerTest, CoversTheScreenHidesTheCursorOnTheCrosshairAndOnlyEscCancels) {
  const SIZE screen = qmtest::ExpectedScreen();
  ASSERT_EQ(::GetSystemMetrics(SM_CXVIRTUALSCREEN), screen.cx);
  ASSERT_EQ(::GetSystemMetrics(SM_CYVIRTUALSCREEN), screen.cy);
  struct {
    HWND wnd = nullptr, foreground = nullptr;
    RECT rect{};
    LONG style = 0, exStyle = 0;
    wchar_t cls[64]{};
    POINT cursor{};
    int counter = 0;
    TPickPoint cross;
  } seen;
  bool stillOpen = false;
  ScopeExit markerUp([] {
    if (::GetAsyncKeyState(kMarkKey) & 0x8000) ::keybd_event(kMarkKey, 0, KEYEVENTF_KEYUP, 0);
  });
  TPicks picks;
  TPickScript script;
  script.WaitFor([] { return FindOverlay() != nullptr; }, 100)
      .Do([&] {
        seen.wnd = FindOverlay();
        seen.foreground = ::GetForegroundWindow();
        ::GetWindowRect(seen.wnd, &seen.rect);
        seen.style = ::GetWindowLongW(seen.wnd, GWL_STYLE);
        seen.exStyle = ::GetWindowLongW(seen.wnd, GWL_EXSTYLE);
        ::GetClassNameW(seen.wnd, seen.cls, 64);
        seen.cursor = qmtest::CursorPos();
        seen.counter = CursorCounter();
        seen.cross = ActivePicker()->Crosshair();
      })
      .Do([] {
        for (BYTE vk : {BYTE{'A'}, BYTE{VK_RETURN}, BYTE{VK_TAB}, BYTE{VK_LEFT}}) PressKey(vk);
        ClickButton(MOUSEEVENTF_RIGHTDOWN, MOUSEEVENTF_RIGHTUP);
        ClickButton(MOUSEEVENTF_MIDDLEDOWN, MOUSEEVENTF_MIDDLEUP);
        ::keybd_event(kMarkKey, 0, 0, 0);
      })
      // The thread's key state changes as it takes key messages: once the
      // marker shows as down, everything before it was handled.
      .WaitFor([] { return (::GetKeyState(kMarkKey) & 0x8000) != 0; })
      .Do([&] { stillOpen = ActivePicker() && FindOverlay() == seen.wnd && ::IsWindowVisible(seen.wnd); })
      .Do([] {
        ::keybd_event(kMarkKey, 0, KEYEVENTF_KEYUP, 0);
        PressKey(VK_ESCAPE);
      });
  Pick(script, picks.Callback());

  EXPECT_TRUE(stillOpen);  // other keys and buttons changed nothing; Esc cancelled
  EXPECT_EQ(picks.Calls, 0);
  EXPECT_STREQ(seen.cls, L"FocusPickerOv3");
  EXPECT_EQ(seen.exStyle, 0x00080088);
  EXPECT_EQ(seen.style & ~WS_CLIPSIBLINGS, static_cast<LONG>(WS_POPUP | WS_VISIBLE));
  EXPECT_EQ(seen.foreground, seen.wnd);  // activated, so Esc reaches it
  EXPECT_EQ(seen.rect.left, 0);
  EXPECT_EQ(seen.rect.top, 0);
  EXPECT_EQ(seen.rect.right, screen.cx);
  EXPECT_EQ(seen.rect.bottom, screen.cy);
  EXPECT_EQ(seen.cross, (TPickPoint{screen.cx / 2, screen.cy / 2}));
  EXPECT_EQ(seen.cursor.x, screen.cx / 2);
  EXPECT_EQ(seen.cursor.y, screen.cy / 2);
  EXPECT_EQ(seen.counter, counter_ - 1);
  EXPECT_NE(PickerClassAtom(), 0);
}

TEST_F(FocusPickerTest, AClickPicksThePointOfItsPressAndEndsOnTheReleaseWithTheMouseCaptured) {
  // Resting on a point and pressing there: the pick lasts until the
  // release, the mouse captured (ended on the press, the overlay would be
  // gone and the release would reach the program beneath).
  bool openWhilePressed = false;
  TPicks picks;
  TPickScript rest;
  rest.WaitFor([] { return FindOverlay() != nullptr; })
      .Do([] { ::SetCursorPos(100, 200); })
      .WaitFor([] { return CrosshairAt(100, 200); }, 60)
      .Do([] { ::mouse_event(MOUSEEVENTF_LEFTDOWN, 0, 0, 0, 0); })
      .WaitFor([] { return ::GetCapture() == FindOverlay(); })
      .Do([&] {
        openWhilePressed = ActivePicker() != nullptr;
        ::SetCursorPos(120, 230);
        ::mouse_event(MOUSEEVENTF_LEFTUP, 0, 0, 0, 0);
      });
  Pick(rest, picks.Callback());
  EXPECT_TRUE(openWhilePressed);
  EXPECT_EQ(::GetCapture(), nullptr);
  EXPECT_EQ(picks.Calls, 1);
  EXPECT_EQ(picks.Point, (TPickPoint{100, 200}));

  // A click before the next tick has moved the crosshair picks where the
  // click was made, not the crosshair's last point.
  TPicks fast;
  TPickScript hurry;
  hurry.WaitFor([] { return FindOverlay() != nullptr; })
      .Do([] { ::SetCursorPos(300, 400); })
      .WaitFor([] { return CrosshairAt(300, 400); }, 60)
      .Do([] {
        ::SetCursorPos(345, 420);
        ClickButton(MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP);
      });
  Pick(hurry, fast.Callback());
  EXPECT_EQ(fast.Calls, 1);
  EXPECT_EQ(fast.Point, (TPickPoint{345, 420}));
}

TEST_F(FocusPickerTest, QuitMessageEndsThePickAsACancelAndIsConsumed) {
  TPicks picks;
  TPickScript script;
  script.WaitFor([] { return FindOverlay() != nullptr; })
      .Do([] { ::SetCursorPos(150, 150); })
      .WaitFor([] { return CrosshairAt(150, 150); })
      .Do([] { ::PostQuitMessage(7); });
  Pick(script, picks.Callback());
  EXPECT_EQ(picks.Calls, 0);
  MSG msg;
  EXPECT_FALSE(::PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST_F(FocusPickerTest, ASecondPickWhileOneIsLiveIsRefused) {
  TPicks first, second;
  bool returnedAtOnce = false, sameLive = false, constructionThrew = false;
  constexpr UINT kWaiting = WM_APP + 5;
  TPickScript script;
  script.WaitFor([] { return FindOverlay() != nullptr; })
      .Do([&] {
        TFocusPickerForm* live = ActivePicker();
        HWND wnd = FindOverlay();
        // Still waiting after the call: it ran no loop of its own.
        ::PostThreadMessageW(::GetCurrentThreadId(), kWaiting, 0, 0);
        PickFocusPoint(second.Callback());
        MSG msg;
        returnedAtOnce = ::PeekMessageW(&msg, reinterpret_cast<HWND>(-1), kWaiting, kWaiting, PM_REMOVE) != FALSE;
        try {
          TFocusPickerTestAccess::Create(second.Callback());
        } catch (const std::logic_error&) {
          constructionThrew = true;
        }
        sameLive = ActivePicker() == live && FindOverlay() == wnd && ::IsWindowVisible(wnd);
      })
      .Do([] { ::SetCursorPos(222, 333); })
      .WaitFor([] { return CrosshairAt(222, 333); }, 60)
      .Do([] { ClickButton(MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP); });
  Pick(script, first.Callback());
  EXPECT_TRUE(returnedAtOnce);
  EXPECT_TRUE(constructionThrew);
  EXPECT_TRUE(sameLive);
  EXPECT_EQ(second.Calls, 0);
  EXPECT_EQ(first.Calls, 1);  // the first pick still works
  EXPECT_EQ(first.Point, (TPickPoint{222, 333}));
}

int g_refusedCreations = 0;

LRESULT CALLBACK RefuseOverlay(int code, WPARAM wp, LPARAM lp) {
  if (code == HCBT_CREATEWND) {
    const CREATESTRUCTW* cs = reinterpret_cast<CBT_CREATEWNDW*>(lp)->lpcs;
    if (!IS_INTRESOURCE(cs->lpszClass) && std::wstring(cs->lpszClass) == L"FocusPickerOv3") {
      ++g_refusedCreations;
      return 1;
    }
  }
  return ::CallNextHookEx(nullptr, code, wp, lp);
}

TEST_F(FocusPickerTest, AWindowThatCannotBeCreatedEndsThePickAtOnceAsACancel) {
  ::SetCursorPos(10, 10);
  HHOOK hook = ::SetWindowsHookExW(WH_CBT, &RefuseOverlay, nullptr, ::GetCurrentThreadId());
  ASSERT_NE(hook, nullptr);
  g_refusedCreations = 0;
  TPicks picks;
  const DWORD start = ::GetTickCount();
  PickFocusPoint(picks.Callback());
  const DWORD took = ::GetTickCount() - start;
  ::UnhookWindowsHookEx(hook);
  EXPECT_EQ(g_refusedCreations, 1);
  EXPECT_LT(took, 500u);
  EXPECT_EQ(picks.Calls, 0);
  EXPECT_EQ(CursorCounter(), counter_);
  const POINT p = qmtest::CursorPos();
  EXPECT_EQ(p.x, 10);  // not moved
  EXPECT_EQ(p.y, 10);

  // The next pick works as usual.
  TPickScript script;
  script.WaitFor([] { return FindOverlay() != nullptr; }).Do([] { PressKey(VK_ESCAPE); });
  Pick(script, picks.Callback());
  EXPECT_EQ(picks.Calls, 0);
}

TEST_F(FocusPickerTest, AnOverlayDestroyedByOthersEndsThePickAsACancel) {
  TPicks picks;
  // Destroyed by the thread's own code while the loop runs.
  TPickScript own;
  own.WaitFor([] { return FindOverlay() != nullptr; }).Do([] { ::DestroyWindow(FindOverlay()); });
  Pick(own, picks.Callback());

  // A close request sent by another thread while the loop waits: no script
  // runs, so only the close can wake the loop. A loop that does not notice
  // is ended by the watchdog's quit message 3 s later.
  const DWORD mainThread = ::GetCurrentThreadId();
  std::atomic<bool> returned{false};
  std::atomic<DWORD> closedAt{0};
  std::thread other([&] {
    HWND wnd = nullptr;
    for (int i = 0; i < 500 && !wnd; ++i, ::Sleep(10)) wnd = FindOverlay();
    ::Sleep(200);
    // Returns once the window is destroyed (under Wine without a window
    // manager, hiding it alone waits 2 s for the unmap to be confirmed).
    if (wnd) ::SendMessageW(wnd, WM_CLOSE, 0, 0);
    closedAt = ::GetTickCount();
    for (int i = 0; i < 300 && !returned; ++i) ::Sleep(10);
    if (!returned) ::PostThreadMessageW(mainThread, WM_QUIT, 0, 0);
  });
  PickFocusPoint(picks.Callback());
  const DWORD end = ::GetTickCount();
  returned = true;
  other.join();
  ASSERT_NE(closedAt.load(), 0u);
  EXPECT_LT(static_cast<LONG>(end - closedAt.load()), 1000);
  EXPECT_EQ(picks.Calls, 0);
}

TEST_F(FocusPickerTest, CallsQueuedByWorkersRunWhileTheOverlayIsUp) {
  bool ranDuringPick = false;
  TPickScript script;
  std::thread worker;
  script.WaitFor([] { return FindOverlay() != nullptr; })
      .Do([&] {
        worker = std::thread([&] {
          TMainThreadQueue::Queue([&] { ranDuringPick = FindOverlay() != nullptr; });
        });
      })
      .WaitFor([&] { return ranDuringPick; })
      .Do([] { PressKey(VK_ESCAPE); });
  TPicks picks;
  Pick(script, picks.Callback());
  worker.join();
  EXPECT_TRUE(ranDuringPick);
}

TEST_F(FocusPickerTest, ACallbackRunsAfterCleanupAndWhatItThrowsLeavesThePick) {
  bool overlayGone = false;
  int counterInCallback = 0;
  TPickScript script;
  script.WaitFor([] { return FindOverlay() != nullptr; })
      .Do([] { ::SetCursorPos(400, 300); })
      .WaitFor([] { return CrosshairAt(400, 300); }, 60)
      .Do([] { ClickButton(MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_LEFTUP); });
  script.Start();
  EXPECT_THROW(PickFocusPoint([&](std::int32_t, std::int32_t) {
                 overlayGone = FindOverlay() == nullptr;
                 counterInCallback = CursorCounter();
                 throw std::runtime_error("callback failed");
               }),
               std::runtime_error);
  script.Stop();
  EXPECT_TRUE(overlayGone);
  EXPECT_EQ(counterInCallback, counter_);
}

TEST_F(FocusPickerTest, AnAreaTooLargeOrEmptyLeavesNothingBehind) {
  ScopeExit restore([] { TFocusPickerTestAccess::OverrideArea(nullptr); });
  TPicks picks;
  const TPickRect huge{0, 0, 40000, 30000};  // more bytes than one section may hold
  TFocusPickerTestAccess::OverrideArea(&huge);
  EXPECT_THROW(PickFocusPoint(picks.Callback()), std::bad_alloc);
  EXPECT_EQ(ActivePicker(), nullptr);
  EXPECT_EQ(FindOverlay(), nullptr);

  const TPickRect empty{100, 100, 100, 500};
  TFocusPickerTestAccess::OverrideArea(&empty);
  const DWORD start = ::GetTickCount();
  PickFocusPoint(picks.Callback());
  EXPECT_LT(::GetTickCount() - start, 500u);
  EXPECT_EQ(picks.Calls, 0);
}

// Xvfb gives Wine no monitor left of the primary one (with +xinerama both
// heads lie at 0,0 and Wine reports a single monitor), so this test lays the
// overlay over (-1920, 0)-(1920, 1080) and, since the real cursor cannot go
// left of 0, stands in for GetCursorPos, and the click there is a posted
// button-down at that point of the overlay.
POINT g_fakeCursor{};
BOOL g_fakeReadable = TRUE;
int g_unreadableReads = 0;
std::vector<POINT> g_cursorSets;

BOOL WINAPI FakeGetCursorPos(LPPOINT p) {
  if (!g_fakeReadable) {
    ++g_unreadableReads;
    return FALSE;
  }
  *p = g_fakeCursor;
  return TRUE;
}

BOOL WINAPI RecordSetCursorPos(int x, int y) {
  g_cursorSets.push_back({x, y});
  return SystemInputFunctions().SetCursorPos(x, y);
}

TEST_F(FocusPickerTest, AMonitorLeftOfThePrimaryGivesNegativePointsAndTheCursorIsClamped) {
  const TPickRect area{-1920, 0, 1920, 1080};
  TFocusPickerTestAccess::OverrideArea(&area);
  const TInputFunctions saved = InputFunctions();
  ScopeExit restore([&] {
    InputFunctions() = saved;
    TFocusPickerTestAccess::OverrideArea(nullptr);
  });
  g_cursorSets.clear();
  g_fakeCursor = {0, 540};
  g_fakeReadable = TRUE;
  InputFunctions().GetCursorPos = &FakeGetCursorPos;
  InputFunctions().SetCursorPos = &RecordSetCursorPos;

  TPickPoint start;
  RECT rect{};
  bool stayedWhenUnreadable = false;
  TPicks picks;
  TPickScript script;
  script.WaitFor([] { return FindOverlay() != nullptr; })
      .Do([&] {
        start = ActivePicker()->Crosshair();
        ::GetWindowRect(FindOverlay(), &rect);
        g_fakeCursor = {-500, 300};
      })
      .WaitFor([] { return CrosshairAt(1420, 300); })
      .Do([] { g_fakeCursor = {-5000, 99999}; })
      .WaitFor([] { return CrosshairAt(0, 1079); })
      .Do([] {
        g_unreadableReads = 0;
        g_fakeReadable = FALSE;
      })
      // The picker's ticks run on this thread too: one has ended since.
      .WaitFor([] { return g_unreadableReads > 0; })
      .Do([&] { stayedWhenUnreadable = CrosshairAt(0, 1079); })
      .Do([] {
        g_fakeReadable = TRUE;
        g_fakeCursor = {-500, 300};
      })
      .WaitFor([] { return CrosshairAt(1420, 300); }, 60)
      .Do([] {
        ::PostMessageW(FindOverlay(), WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(1420, 300));
        ::PostMessageW(FindOverlay(), WM_LBUTTONUP, 0, MAKELPARAM(1420, 300));
      });
  Pick(script, picks.Callback());

  EXPECT_EQ(start, (TPickPoint{1920, 540}));
  EXPECT_EQ(rect.left, -1920);
  EXPECT_EQ(rect.right, 1920);
  ASSERT_EQ(g_cursorSets.size(), 1u);
  EXPECT_EQ(g_cursorSets[0].x, 0);  // overlay 1920 is screen 0
  EXPECT_EQ(g_cursorSets[0].y, 540);
  EXPECT_TRUE(stayedWhenUnreadable);
  EXPECT_EQ(picks.Calls, 1);
  EXPECT_EQ(picks.Point, (TPickPoint{-500, 300}));
}

}  // namespace
}  // namespace qm
