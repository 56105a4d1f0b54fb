#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "TargetProcess.h"
#include "WinTestSupport.h"
#include "input/UExternalInput.h"
#include "platform/InputSynth.h"
#include "platform/MainThreadQueue.h"

namespace qm {
namespace {

using qmtest::KeyRecorder;
using qmtest::TargetProcess;
using Keys = std::vector<KeyRecorder::Event>;
using Lines = std::vector<std::wstring>;

constexpr DWORD kUp = KEYEVENTF_KEYUP;
constexpr BYTE kMarker = 0xE8;  // the unassigned key that follows the keys of a paste

struct HotkeyScope {
  explicit HotkeyScope(const wchar_t* value) : saved(PasteHotkey) { PasteHotkey = value; }
  ~HotkeyScope() { PasteHotkey = saved; }
  std::wstring saved;
};

Keys HotkeyEvents(const wchar_t* value) {
  HotkeyScope hotkey(value);
  KeyRecorder rec;
  SendPasteHotkey();
  return KeyRecorder::Events();
}

TEST(Paste, HotkeySequencesAreExact) {
  EXPECT_EQ(PasteHotkey, L"Ctrl+V");
  const Keys ctrlV{{VK_CONTROL, 0}, {'V', 0}, {'V', kUp}, {VK_CONTROL, kUp}};
  EXPECT_EQ(HotkeyEvents(L"Ctrl+V"), ctrlV);
  EXPECT_EQ(HotkeyEvents(L"ctrl+v"), ctrlV);  // v through the keyboard layout
  EXPECT_EQ(HotkeyEvents(L"Shift + Insert"), (Keys{{VK_SHIFT, 0}, {VK_INSERT, 0}, {VK_INSERT, kUp}, {VK_SHIFT, kUp}}));
  EXPECT_EQ(HotkeyEvents(L""), Keys{});
  EXPECT_EQ(HotkeyEvents(L"   "), Keys{});
  KeyRecorder rec;
  PressKeyCombo(true, true, true, VK_RETURN);
  EXPECT_EQ(KeyRecorder::Events(), (Keys{{VK_CONTROL, 0}, {VK_SHIFT, 0}, {VK_MENU, 0}, {VK_RETURN, 0},
                                         {VK_RETURN, kUp}, {VK_MENU, kUp}, {VK_SHIFT, kUp}, {VK_CONTROL, kUp}}));
}

std::wstring ClipboardText() {
  std::wstring out;
  if (!::OpenClipboard(nullptr)) return L"<busy>";
  if (HANDLE h = ::GetClipboardData(CF_UNICODETEXT)) {
    if (auto* p = static_cast<const wchar_t*>(::GlobalLock(h))) {
      out = p;
      ::GlobalUnlock(h);
    }
  }
  ::CloseClipboard();
  return out;
}

TEST(Paste, ClipboardTakesTextButNotEmptyTextNorWhileAnotherProgramHoldsIt) {
  ASSERT_TRUE(SetClipboardText(L"first \u6761\u7801"));
  EXPECT_EQ(ClipboardText(), L"first \u6761\u7801");
  EXPECT_FALSE(SetClipboardText(L""));
  EXPECT_EQ(ClipboardText(), L"first \u6761\u7801");

  TargetProcess holder;
  ASSERT_TRUE(holder.Ready());
  DWORD_PTR held = 0;
  ASSERT_TRUE(::SendMessageTimeoutW(holder.Main(), WM_APP + 4, 0, 0, SMTO_ABORTIFHUNG, 5000, &held));
  ASSERT_TRUE(held);
  EXPECT_FALSE(SetClipboardText(L"second"));
  DWORD_PTR freed = 0;
  ::SendMessageTimeoutW(holder.Main(), WM_APP + 5, 0, 0, SMTO_ABORTIFHUNG, 5000, &freed);
  EXPECT_EQ(ClipboardText(), L"first \u6761\u7801");
  EXPECT_TRUE(SetClipboardText(L"third"));
  EXPECT_EQ(ClipboardText(), L"third");
}

LONG ExStyle(HWND w) { return ::GetWindowLongW(w, GWL_EXSTYLE); }

TEST(Paste, ForcingToTheFrontRestoresTheSizeAndKeepsAlwaysOnTop) {
  DWORD lockBefore = 0;
  ::SystemParametersInfoW(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &lockBefore, 0);
  TargetProcess minimized({L"--show", L"min", L"--no-foreground"});
  TargetProcess maximized({L"--show", L"max", L"--no-foreground"});
  TargetProcess onTop({L"--topmost", L"--no-foreground"});
  TargetProcess plain({L"--title", L"plain"});
  ASSERT_TRUE(minimized.Ready() && maximized.Ready() && onTop.Ready() && plain.Ready());
  ASSERT_TRUE(::IsIconic(minimized.Main()));
  ASSERT_TRUE(::IsZoomed(maximized.Main()));

  EXPECT_TRUE(ForceForegroundWindow(minimized.Main()));
  EXPECT_FALSE(::IsIconic(minimized.Main()));
  EXPECT_EQ(::GetForegroundWindow(), minimized.Main());
  EXPECT_TRUE(ForceForegroundWindow(maximized.Main()));
  EXPECT_FALSE(::IsZoomed(maximized.Main()));
  EXPECT_EQ(::GetForegroundWindow(), maximized.Main());
  EXPECT_TRUE(ForceForegroundWindow(onTop.Main()));
  EXPECT_TRUE(ExStyle(onTop.Main()) & WS_EX_TOPMOST);
  EXPECT_TRUE(ForceForegroundWindow(plain.Main()));
  EXPECT_FALSE(ExStyle(plain.Main()) & WS_EX_TOPMOST);
  EXPECT_EQ(::GetForegroundWindow(), plain.Main());

  EXPECT_FALSE(ForceForegroundWindow(nullptr));
  EXPECT_FALSE(ForceForegroundWindow(reinterpret_cast<HWND>(0x7FFFFFF0)));
  EXPECT_EQ(::GetForegroundWindow(), plain.Main());
  DWORD lockAfter = 1;
  ::SystemParametersInfoW(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &lockAfter, 0);
  EXPECT_EQ(lockAfter, lockBefore);
}

TEST(Paste, AWindowWithoutAnInputControlGetsThePasteKeysAndARealEnterAfterThem) {
  TargetProcess t({L"--controls", L"button", L"--focus", L"button"});
  ASSERT_TRUE(t.Ready());
  ::SetForegroundWindow(t.Main());
  t.Sync();
  KeyRecorder rec;  // the keys stop here, so the wait for them runs out
  const DWORD start = ::GetTickCount();
  SendExternalText(L"K1\r");
  EXPECT_LT(::GetTickCount() - start, 1500u);
  EXPECT_EQ(KeyRecorder::Events(), (Keys{{VK_CONTROL, 0}, {'V', 0}, {'V', kUp}, {VK_CONTROL, kUp}, {VK_RETURN, 0},
                                         {VK_RETURN, kUp}, {kMarker, 0}, {kMarker, kUp}}));
  EXPECT_EQ(ClipboardText(), L"K1");
  EXPECT_EQ(::GetForegroundWindow(), t.Main());

  KeyRecorder::Events().clear();
  SendExternalText(L"K2");  // no line break: no Enter
  EXPECT_EQ(KeyRecorder::Events(),
            (Keys{{VK_CONTROL, 0}, {'V', 0}, {'V', kUp}, {VK_CONTROL, kUp}, {kMarker, 0}, {kMarker, kUp}}));

  KeyRecorder::Events().clear();
  SendExternalText(L"\r\n");  // the clipboard refuses an empty text: nothing is sent
  EXPECT_EQ(KeyRecorder::Events(), Keys{});
  EXPECT_EQ(ClipboardText(), L"K2");
}

TEST(Paste, WithNothingInFrontNoKeyIsSentAtAll) {
  // Only the test's own window is shown: there is no window to type into,
  // and the keys must not land in its own edit.
  HINSTANCE inst = ::GetModuleHandleW(nullptr);
  // A popup: Wine with no window manager takes 2 s to destroy a framed window.
  HWND own = ::CreateWindowExW(0, L"Static", L"own", WS_POPUP | WS_VISIBLE, 0, 0, 300, 200, nullptr, nullptr, inst,
                               nullptr);
  ::SetForegroundWindow(own);
  SetOwnWindow(own);
  ASSERT_TRUE(SetClipboardText(L"before"));
  KeyRecorder rec;
  SendExternalText(L"NOWHERE\r");
  EXPECT_EQ(KeyRecorder::Events(), Keys{});
  EXPECT_EQ(ClipboardText(), L"before");
  SetOwnWindow(nullptr);
  ::DestroyWindow(own);
}

TEST(Paste, PendingMessagesAreHandledWithoutStartingTheNextBarcodeEvenUnderAFlood) {
  auto t = std::make_unique<TargetProcess>(std::vector<std::wstring>{L"--controls", L"memo", L"--focus", L"memo",
                                                                      L"--clear-on-enter"});
  ASSERT_TRUE(t->Ready());
  ::SetForegroundWindow(t->Main());
  t->Sync();
  // Shared, so calls still queued when the test ends touch nothing dead.
  struct State {
    bool inDelivery = false, delivered = false, overlapped = false;
    int after = 0;
  };
  auto s = std::make_shared<State>();
  std::atomic<bool> stop{false};
  std::thread flood([&stop, s] {
    for (int i = 0; i < 200000 && !stop; ++i)
      TMainThreadQueue::Queue([s] {
        if (s->inDelivery) s->overlapped = true;
        ++s->after;
      });
  });
  TMainThreadQueue::Queue([s] {
    s->inDelivery = true;
    SendExternalText(L"FLOOD\r");
    s->inDelivery = false;
    s->delivered = true;
  });
  const bool ended = qmtest::PumpUntil([s] { return s->delivered; }, 10000);
  stop = true;
  flood.join();
  ASSERT_TRUE(ended);
  ASSERT_TRUE(qmtest::PumpUntil([] { return TMainThreadQueue::PendingCount() == 0; }, 60000));
  EXPECT_FALSE(s->overlapped);
  EXPECT_GT(s->after, 0);
  EXPECT_EQ(t->Events(L"memo", L"ENTER"), Lines{L"FLOOD"});
}

}  // namespace
}  // namespace qm
