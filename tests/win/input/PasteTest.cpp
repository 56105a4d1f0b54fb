#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#include "TargetProcess.h"
#include "WinTestSupport.h"
#include "input/UExternalInput.h"
#include "platform/InputSynth.h"
#include "platform/MainThreadQueue.h"
#include "platform/ScopeExit.h"

namespace qm {
namespace {

using qmtest::ClipboardText;
using qmtest::KeyRecorder;
using qmtest::TargetProcess;
using Keys = std::vector<KeyRecorder::Event>;
using Lines = std::vector<std::wstring>;

constexpr DWORD kUp = KEYEVENTF_KEYUP;

struct HotkeyScope {
  explicit HotkeyScope(const wchar_t* value) : saved(PasteHotkey) { PasteHotkey = value; }
  ~HotkeyScope() { PasteHotkey = saved; }
  std::wstring saved;
};

Keys HotkeyEvents(const wchar_t* value) {
  HotkeyScope hotkey(value);
  KeyRecorder rec;
  EXPECT_TRUE(SendPasteHotkey());
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
  EXPECT_TRUE(PressKeyCombo(true, true, true, VK_RETURN));
  EXPECT_EQ(KeyRecorder::Events(), (Keys{{VK_CONTROL, 0}, {VK_SHIFT, 0}, {VK_MENU, 0}, {VK_RETURN, 0},
                                         {VK_RETURN, kUp}, {VK_MENU, kUp}, {VK_SHIFT, kUp}, {VK_CONTROL, kUp}}));
}

// A DWORD of a registered format on the clipboard; none when it is not there.
std::optional<DWORD> ClipboardDword(const wchar_t* format) {
  std::optional<DWORD> out;
  if (!::OpenClipboard(nullptr)) return out;
  if (HANDLE h = ::GetClipboardData(::RegisterClipboardFormatW(format))) {
    if (auto* p = static_cast<const DWORD*>(::GlobalLock(h))) {
      out = *p;
      ::GlobalUnlock(h);
    }
  }
  ::CloseClipboard();
  return out;
}

TEST(Paste, ClipboardTakesTextButNotEmptyTextNorWhileAnotherProgramHoldsIt) {
  ASSERT_TRUE(SetClipboardText(L"first \u6761\u7801"));
  EXPECT_EQ(ClipboardText(), L"first \u6761\u7801");
  // Kept out of clipboard history, the cloud clipboard and clipboard monitors.
  EXPECT_EQ(ClipboardDword(L"CanIncludeInClipboardHistory"), std::optional<DWORD>(0));
  EXPECT_EQ(ClipboardDword(L"CanUploadToCloudClipboard"), std::optional<DWORD>(0));
  EXPECT_TRUE(ClipboardDword(L"ExcludeClipboardContentFromMonitorProcessing").has_value());
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

  // Held for a moment, as clipboard monitors do after every change: waited for.
  ASSERT_TRUE(::SendMessageTimeoutW(holder.Main(), WM_APP + 4, 300, 0, SMTO_ABORTIFHUNG, 5000, &held));
  ASSERT_TRUE(held);
  const DWORD start = ::GetTickCount();
  EXPECT_TRUE(SetClipboardText(L"fourth"));
  EXPECT_GE(::GetTickCount() - start, 200u);
  EXPECT_EQ(ClipboardText(), L"fourth");
}

LONG ExStyle(HWND w) { return ::GetWindowLongW(w, GWL_EXSTYLE); }

TEST(Paste, ForcingToTheFrontRestoresAMinimisedWindowAndLeavesSizeAndAlwaysOnTopAlone) {
  DWORD lockBefore = 0;
  ::SystemParametersInfoW(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &lockBefore, 0);
  TargetProcess minimized({L"--show", L"min", L"--no-foreground"});
  TargetProcess maximized({L"--show", L"max", L"--no-foreground"});
  TargetProcess onTop({L"--topmost", L"--no-foreground"});
  TargetProcess plain({L"--title", L"plain"});
  ASSERT_TRUE(minimized.Ready() && maximized.Ready() && onTop.Ready() && plain.Ready());
  ASSERT_TRUE(::IsIconic(minimized.Main()));
  ASSERT_TRUE(::IsZoomed(maximized.Main()));
  // The target shows and activates itself in its own time: Sync waits for that.
  const auto fronted = [](const TargetProcess& t) { return ForceForegroundWindow(t.Main()) && t.Sync(); };

  EXPECT_TRUE(fronted(minimized));
  EXPECT_FALSE(::IsIconic(minimized.Main()));
  EXPECT_EQ(::GetForegroundWindow(), minimized.Main());
  EXPECT_TRUE(fronted(maximized));
  EXPECT_TRUE(::IsZoomed(maximized.Main()));
  EXPECT_EQ(::GetForegroundWindow(), maximized.Main());
  EXPECT_TRUE(fronted(onTop));
  EXPECT_TRUE(ExStyle(onTop.Main()) & WS_EX_TOPMOST);
  EXPECT_TRUE(fronted(plain));
  EXPECT_FALSE(ExStyle(plain.Main()) & WS_EX_TOPMOST);
  EXPECT_EQ(::GetForegroundWindow(), plain.Main());
  EXPECT_TRUE(fronted(plain));  // already in front: left as it is

  EXPECT_FALSE(ForceForegroundWindow(nullptr));
  EXPECT_FALSE(ForceForegroundWindow(reinterpret_cast<HWND>(0x7FFFFFF0)));
  EXPECT_EQ(::GetForegroundWindow(), plain.Main());
  DWORD lockAfter = 1;
  ::SystemParametersInfoW(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &lockAfter, 0);
  EXPECT_EQ(lockAfter, lockBefore);
}

TEST(Paste, PasteKeysAndEnterGoOutAsOneBlockEachWithTheLayoutsScanCodes) {
  TargetProcess t({L"--controls", L"canvas", L"--focus", L"canvas"});
  ASSERT_TRUE(t.Ready());
  ::SetForegroundWindow(t.Main());
  t.Sync();
  SetWaitForTarget(false);  // the recorded keys never arrive: nothing to wait for
  KeyRecorder rec;
  SendExternalText(L"K1\r");
  SetWaitForTarget(true);
  EXPECT_EQ(KeyRecorder::Events(),
            (Keys{{VK_CONTROL, 0}, {'V', 0}, {'V', kUp}, {VK_CONTROL, kUp}, {VK_RETURN, 0}, {VK_RETURN, kUp}}));
  EXPECT_EQ(KeyRecorder::Blocks(), (std::vector<std::size_t>{4, 2}));
  const HKL layout = ::GetKeyboardLayout(0);
  std::vector<WORD> scans;
  for (const KeyRecorder::Event& e : KeyRecorder::Events())
    scans.push_back(static_cast<WORD>(::MapVirtualKeyExW(e.vk, MAPVK_VK_TO_VSC, layout)));
  EXPECT_EQ(KeyRecorder::Scans(), scans);
  EXPECT_NE(scans[1], 0);
  EXPECT_EQ(ClipboardText(), L"K1");
  EXPECT_EQ(::GetForegroundWindow(), t.Main());
}

// A key the test holds down, as the user would: released around the keys,
// pressed again after them.
TEST(Paste, AHeldShiftIsReleasedAroundThePasteKeysAndPressedAgain) {
  auto t = std::make_unique<TargetProcess>(std::vector<std::wstring>{L"--controls", L"memo", L"--focus", L"memo"});
  ASSERT_TRUE(t->Ready());
  ::SetForegroundWindow(t->Main());
  t->Sync();
  TDeliveryOutcome out;
  bool stillHeld = false;
  {
    INPUT shift{};
    shift.type = INPUT_KEYBOARD;
    shift.ki.wVk = VK_LSHIFT;
    ::SendInput(1, &shift, sizeof(shift));
    // The tests after this one type too: up again on every path.
    ScopeExit release([shift]() mutable {
      shift.ki.dwFlags = KEYEVENTF_KEYUP;
      ::SendInput(1, &shift, sizeof(shift));
    });
    ASSERT_TRUE(::GetAsyncKeyState(VK_LSHIFT) & 0x8000);
    out = SendExternalText(L"s1\r");
    stillHeld = (::GetAsyncKeyState(VK_LSHIFT) & 0x8000) != 0;
  }
  EXPECT_TRUE(out.Entered());
  // Shift+Ctrl+V would not be a paste, and Shift+Enter no Enter.
  EXPECT_EQ(t->Events(L"memo", L"PASTED"), Lines{L"s1"});
  EXPECT_EQ(t->Events(L"memo", L"ENTER"), Lines{L"s1"});
  EXPECT_TRUE(stillHeld);
}

// The wait for the request runs to the bound: a page may paste late. Given
// up, the text is taken off the clipboard, so a paste that comes later gets
// nothing rather than the next barcode, and its Enter never goes.
// Windows lets no synthesized key through to a secure desktop, a locked
// session or a window of higher integrity in front, and SendInput says how
// many it let in; Wine never blocks, so the recorder lets in only the first
// two keys of the first block.
TEST(Paste, KeysTheSystemBlocksAreReleasedAndLoggedAtOnceAndTheWindowIsNotGivenUp) {
  auto t = std::make_unique<TargetProcess>(std::vector<std::wstring>{L"--controls", L"memo", L"--focus", L"memo"});
  ASSERT_TRUE(t->Ready());
  ::SetForegroundWindow(t->Main());
  t->Sync();
  {
    KeyRecorder rec;
    KeyRecorder::LetInOfNextBlock(2);
    EXPECT_EQ(SendExternalText(L"B1\r").Reason, TNotEntered::kBlocked);
    // Ctrl and V went down: both are released, V first; nothing else went.
    EXPECT_EQ(KeyRecorder::Events(), (Keys{{VK_CONTROL, 0}, {'V', 0}, {'V', kUp}, {VK_CONTROL, kUp}}));
    EXPECT_EQ(KeyRecorder::Blocks(), (std::vector<std::size_t>{4, 2}));
  }
  EXPECT_TRUE(SendExternalText(L"B2\r").Entered());
  EXPECT_EQ(t->Events(L"memo", L"ENTER"), Lines{L"B2"});
}

TEST(Paste, APasteNobodyAsksForGetsNoEnterAndIsWithdrawnAtTheBound) {
  TargetProcess t({L"--controls", L"canvas,edit1", L"--focus", L"canvas"});
  ASSERT_TRUE(t.Ready());
  ::SetForegroundWindow(t.Main());
  t.Sync();
  const DWORD start = ::GetTickCount();
  const TDeliveryOutcome out = SendExternalText(L"K2\r");
  const DWORD took = ::GetTickCount() - start;
  EXPECT_EQ(out.Reason, TNotEntered::kPasteRefused);
  EXPECT_GE(took, 9500u);
  EXPECT_LT(took, 12000u);
  ASSERT_TRUE(t.Sync());
  EXPECT_EQ(t.Events(L"canvas", L"WM_KEYDOWN"), (Lines{L"11", L"56", L"E8"}));  // Ctrl+V and the marker
  EXPECT_TRUE(t.Events(L"edit1", L"WM_SETTEXT").empty());  // no other field is written
  EXPECT_EQ(ClipboardText(), L"");

  const DWORD before = ::GetTickCount();
  SendExternalText(L"\r\n");  // an empty text: nothing is pasted, nothing sent, nothing reported
  EXPECT_LT(::GetTickCount() - before, 500u);
  ASSERT_TRUE(t.Sync());
  EXPECT_EQ(t.Events(L"canvas", L"WM_KEYDOWN").size(), 3u);
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

// What the flood test saw. Shared, so calls still queued when the test ends
// touch nothing dead.
struct TFloodState {
  bool inDelivery = false, delivered = false, overlapped = false, handledInDelivery = false;
};

// A window of this thread that notes whether a delivery was under way when
// it handled WM_APP.
LRESULT CALLBACK NoteDelivery(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg != WM_APP) return ::DefWindowProcW(wnd, msg, wp, lp);
  if (auto* s = reinterpret_cast<TFloodState*>(::GetWindowLongPtrW(wnd, GWLP_USERDATA)))
    s->handledInDelivery = s->inDelivery;
  return 0;
}

TEST(Paste, PendingMessagesAreHandledWithoutStartingTheNextBarcodeEvenUnderAFlood) {
  auto t = std::make_unique<TargetProcess>(std::vector<std::wstring>{L"--controls", L"memo", L"--focus", L"memo",
                                                                      L"--clear-on-enter"});
  ASSERT_TRUE(t->Ready());
  ::SetForegroundWindow(t->Main());
  t->Sync();
  auto s = std::make_shared<TFloodState>();
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = &NoteDelivery;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.lpszClassName = L"QmPasteTestNote";
  ::RegisterClassExW(&wc);
  const HWND note = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance,
                                      nullptr);
  ASSERT_TRUE(note);
  ScopeExit destroy([note] { ::DestroyWindow(note); });
  ::SetWindowLongPtrW(note, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(s.get()));
  std::atomic<bool> stop{false};
  std::thread flood([&stop, s] {
    for (int i = 0; i < 200000 && !stop; ++i)
      TMainThreadQueue::Queue([s] {
        if (s->inDelivery) s->overlapped = true;
      });
  });
  TMainThreadQueue::Queue([s, note] {
    s->inDelivery = true;
    // Waiting when the delivery begins: handled inside it, or only after.
    ::PostMessageW(note, WM_APP, 0, 0);
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
  EXPECT_TRUE(s->handledInDelivery);
  EXPECT_EQ(t->Events(L"memo", L"ENTER"), Lines{L"FLOOD"});
}

}  // namespace
}  // namespace qm
