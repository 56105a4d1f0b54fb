#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <memory>
#include <thread>

#include "TargetProcess.h"
#include "WinTestSupport.h"
#include "input/UExternalInput.h"
#include "platform/Application.h"
#include "platform/MainThreadQueue.h"

namespace qm {
namespace {

using qmtest::TargetProcess;
using Lines = std::vector<std::wstring>;

std::wstring BarcodePath() { return TApplication::ExeDir() + L"barcode.txt"; }

// A target in front with the focus in the named control.
std::unique_ptr<TargetProcess> FrontTarget(std::vector<std::wstring> options) {
  auto t = std::make_unique<TargetProcess>(options);
  if (t->Ready()) {
    ::SetForegroundWindow(t->Main());
    t->Sync();
  }
  return t;
}

bool Has(const Lines& lines, const std::wstring& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

DWORD_PTR LimitOf(HWND control) {
  DWORD_PTR limit = 0;
  ::SendMessageTimeoutW(control, EM_GETLIMITTEXT, 0, 0, SMTO_ABORTIFHUNG, 5000, &limit);
  return limit;
}

void SetLimit(HWND control, DWORD_PTR limit) {
  DWORD_PTR ignored = 0;
  ::SendMessageTimeoutW(control, EM_SETLIMITTEXT, limit, 0, SMTO_ABORTIFHUNG, 5000, &ignored);
}

TEST(Delivery, DirectEntryReplacesTheFocusedFieldAndItsEnterIsHandledBeforeTheCallReturns) {
  auto t = FrontTarget({L"--focus", L"edit2"});
  ASSERT_TRUE(t->Ready());
  ::SetWindowTextW(t->Control(L"edit2"), L"old");
  const DWORD_PTR limit = LimitOf(t->Control(L"edit2"));
  SendExternalText(L"ABC\r");
  // No waiting here: the delivery returned after the target took its Enter.
  EXPECT_EQ(t->EventsOf(L"edit2"),
            (Lines{L"WM_SETTEXT old", L"WM_SETTEXT ABC", L"WM_KEYDOWN D", L"ENTER ABC", L"WM_CHAR D"}));
  EXPECT_EQ(LimitOf(t->Control(L"edit2")), limit);
  EXPECT_TRUE(t->EventsOf(L"edit1").empty());
  EXPECT_EQ(qmtest::ReadWholeFile(BarcodePath()), std::string("\xEF\xBB\xBF" "ABC\r\r\n"));
}

TEST(Delivery, LineBreaksDecideEnterAndStayInsideTheText) {
  auto t = FrontTarget({L"--focus", L"edit1"});
  ASSERT_TRUE(t->Ready());
  SendExternalText(L"NOENTER");
  SendExternalText(L"A\nB\r\n\n");
  SendExternalText(L"\r\n");  // an empty field, still entered
  EXPECT_EQ(t->EventsOf(L"edit1"), (Lines{L"WM_SETTEXT NOENTER", L"WM_SETTEXT A\\nB", L"WM_KEYDOWN D",
                                          L"ENTER A\\nB", L"WM_CHAR D", L"WM_SETTEXT ", L"WM_KEYDOWN D", L"ENTER ",
                                          L"WM_CHAR D"}));
  // The file holds the last text as received, breaks included.
  EXPECT_EQ(qmtest::ReadWholeFile(BarcodePath()), std::string("\xEF\xBB\xBF\r\n\r\n"));
  SendExternalText(L"");  // nothing at all
  EXPECT_EQ(qmtest::ReadWholeFile(BarcodePath()), std::string("\xEF\xBB\xBF\r\n\r\n"));
  EXPECT_EQ(t->EventsOf(L"edit1").size(), 9u);
}

TEST(Delivery, ALockedBarcodeFileDoesNotStopTheDelivery) {
  auto t = FrontTarget({L"--focus", L"edit1"});
  ASSERT_TRUE(t->Ready());
  SendExternalText(L"FIRST\r");
  HANDLE lock = ::CreateFileW(BarcodePath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(lock, INVALID_HANDLE_VALUE);
  SendExternalText(L"SECOND\r");
  ::CloseHandle(lock);
  EXPECT_EQ(t->Events(L"edit1", L"ENTER"), (Lines{L"FIRST", L"SECOND"}));
  EXPECT_EQ(qmtest::ReadWholeFile(BarcodePath()), std::string("\xEF\xBB\xBF" "FIRST\r\r\n"));
  SendExternalText(L"\u6761\u7801\r");
  EXPECT_EQ(qmtest::ReadWholeFile(BarcodePath()), std::string("\xEF\xBB\xBF\xE6\x9D\xA1\xE7\xA0\x81\r\r\n"));
  EXPECT_EQ(t->Events(L"edit1", L"ENTER").back(), L"\u6761\u7801");
}

// The window in front has no field and its button has the focus: no key
// goes there, and the window behind gets nothing all the same.
TEST(Delivery, AWindowBehindTheForegroundWindowNeverReceivesText) {
  TargetProcess behind({L"--title", L"behind"});
  ASSERT_TRUE(behind.Ready());
  auto front = FrontTarget({L"--controls", L"button", L"--focus", L"button"});
  ASSERT_TRUE(front->Ready());
  EXPECT_EQ(SendExternalText(L"XYZ\r").Reason, TNotEntered::kNotInput);
  ASSERT_TRUE(behind.Sync());
  EXPECT_TRUE(behind.Lines().empty());
}

TEST(Delivery, TheMultiLineEditGetsThePasteAtItsCaretAndARealEnter) {
  auto t = FrontTarget({L"--controls", L"edit1,memo", L"--focus", L"memo", L"--memo-text", L"old", L"--memo-caret",
                        L"1"});
  ASSERT_TRUE(t->Ready());
  SendExternalText(L"ABC\r");
  // The paste was taken and the Enter handled before the call returned.
  const Lines memo = t->EventsOf(L"memo");
  EXPECT_TRUE(Has(memo, L"PASTED oABCld")) << ::testing::PrintToString(memo);
  EXPECT_TRUE(Has(memo, L"ENTER oABCld"));
  EXPECT_TRUE(t->Events(L"memo", L"WM_SETTEXT").empty());
  EXPECT_TRUE(t->EventsOf(L"edit1").empty());
  wchar_t text[64] = {};
  ::SendMessageW(t->Control(L"memo"), WM_GETTEXT, 64, reinterpret_cast<LPARAM>(text));
  EXPECT_STREQ(text, L"oABC\r\nld");
  EXPECT_FALSE(::GetAsyncKeyState(0xE8) & 0x8000);  // the key that marked the end is up again
  EXPECT_NE(::GetFocus(), t->Control(L"memo"));    // no longer sharing the target's input
}

TEST(Delivery, RichEditsAndMultiLineEditsAreNeverReplacedAsAWhole) {
  auto t = FrontTarget({L"--controls", L"edit1,memo,rich", L"--focus", L"rich", L"--memo-text", L"doc"});
  ASSERT_TRUE(t->Ready());
  EXPECT_FALSE(IsMultiLineControl(t->Control(L"edit1")));
  EXPECT_TRUE(IsMultiLineControl(t->Control(L"memo")));
  EXPECT_TRUE(IsMultiLineControl(t->Control(L"rich")));
  ::SendMessageW(t->Control(L"rich"), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"doc"));
  t->Sync();
  SendExternalText(L"R1\r");
  const Lines rich = t->EventsOf(L"rich");
  EXPECT_EQ(t->Events(L"rich", L"WM_SETTEXT"), Lines{L"doc"}) << ::testing::PrintToString(rich);  // only the test's own
  ASSERT_EQ(t->Events(L"rich", L"ENTER").size(), 1u) << ::testing::PrintToString(rich);
  EXPECT_NE(t->Events(L"rich", L"ENTER")[0].find(L"R1"), std::wstring::npos);
  EXPECT_NE(t->Events(L"rich", L"ENTER")[0].find(L"doc"), std::wstring::npos);
  EXPECT_TRUE(t->EventsOf(L"edit1").empty());
}

TEST(Delivery, WithTheOwnWindowInFrontTheTextReachesTheWindowBelowIt) {
  auto t = FrontTarget({L"--focus", L"edit2"});
  ASSERT_TRUE(t->Ready());
  HINSTANCE inst = ::GetModuleHandleW(nullptr);
  // A popup: Wine with no window manager takes 2 s to destroy a framed window.
  HWND own = ::CreateWindowExW(0, L"Static", L"own", WS_POPUP | WS_VISIBLE, 0, 0, 300, 200, nullptr, nullptr, inst,
                               nullptr);
  HWND portBox = ::CreateWindowExW(0, L"Edit", L"", WS_CHILD | WS_VISIBLE, 5, 5, 100, 20, own, nullptr, inst, nullptr);
  ::SetForegroundWindow(own);
  ::SetFocus(portBox);
  SetOwnWindow(own);
  SendExternalText(L"ABC\r");
  // Behind the own window the target has no focus of its own: the search
  // picks its first field.
  EXPECT_EQ(t->Events(L"edit1", L"ENTER"), Lines{L"ABC"}) << ::testing::PrintToString(t->Lines());
  EXPECT_TRUE(t->EventsOf(L"edit2").empty());
  wchar_t text[16] = {};
  ::GetWindowTextW(portBox, text, 16);
  EXPECT_STREQ(text, L"");
  SetOwnWindow(nullptr);
  ::DestroyWindow(own);
}

// Barcodes queued by another thread while deliveries run, as readers do.
void QueueBurst(const std::wstring& prefix, int count) {
  std::thread([=] {
    for (int i = 0; i < count; ++i)
      TMainThreadQueue::Queue([text = prefix + std::to_wstring(i) + L"\r"] { SendExternalText(text); });
  }).join();
}

Lines Numbered(const std::wstring& prefix, int count) {
  Lines out;
  for (int i = 0; i < count; ++i) out.push_back(prefix + std::to_wstring(i));
  return out;
}

TEST(Delivery, AHungTargetIsGivenUpOnThenFailsAtOnceUntilItAnswersAgain) {
  TargetProcess other({L"--title", L"other"});
  ASSERT_TRUE(other.Ready());
  auto hung = FrontTarget({L"--focus", L"edit1"});
  ASSERT_TRUE(hung->Ready());
  hung->Hang(8000);
  ASSERT_TRUE(qmtest::PumpUntil(
      [&] {
        DWORD_PTR r = 0;
        return !::SendMessageTimeoutW(hung->Main(), WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 100, &r);
      },
      5000));
  // Waited for until Windows counts it as hung: about 5 s without a message.
  DWORD start = ::GetTickCount();
  EXPECT_EQ(SendExternalText(L"LOST1\r").Reason, TNotEntered::kHung);
  const DWORD first = ::GetTickCount() - start;
  EXPECT_GE(first, 4000u);
  EXPECT_LT(first, 7000u);
  start = ::GetTickCount();
  EXPECT_EQ(SendExternalText(L"LOST2\r").Reason, TNotEntered::kHung);
  EXPECT_LT(::GetTickCount() - start, 500u);

  ::SetForegroundWindow(other.Main());
  other.Sync();
  EXPECT_TRUE(qmtest::PumpUntil([&] { return ::GetForegroundWindow() == other.Main(); }, 3000));
  EXPECT_EQ(SendExternalText(L"NEXT\r").Reason, TNotEntered::kNone);
  EXPECT_EQ(other.Events(L"edit1", L"ENTER"), Lines{L"NEXT"});

  // Answering again, it is tried again.
  ASSERT_TRUE(qmtest::PumpUntil([&] { return !::IsHungAppWindow(hung->Main()) && hung->Sync(); }, 6000));
  hung->ComeToFront();
  ASSERT_TRUE(hung->Sync());
  EXPECT_TRUE(SendExternalText(L"BACK\r").Entered());
  EXPECT_EQ(hung->Events(L"edit1", L"ENTER"), Lines{L"BACK"});
}

TEST(Delivery, ATargetThatTakesTwoSecondsPerEnterGetsEveryBarcodeInOrder) {
  auto t = FrontTarget({L"--focus", L"edit1", L"--enter-work", L"2000"});
  ASSERT_TRUE(t->Ready());
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(SendExternalText(L"S" + std::to_wstring(i) + L"\r").Entered()) << i;
  EXPECT_EQ(t->Events(L"edit1", L"WM_SETTEXT"), Numbered(L"S", 3));
  EXPECT_TRUE(t->WaitUntil([](const Lines& l) { return Has(l, L"edit1 ENTER S2"); }, 5000));
  EXPECT_EQ(t->Events(L"edit1", L"ENTER"), Numbered(L"S", 3));
}

TEST(Delivery, AFieldThatRefusesItsTextGetsNoEnterButThePasteAndThenOne) {
  auto t = FrontTarget({L"--controls", L"edit1", L"--focus", L"edit1", L"--refuse-settext"});
  ASSERT_TRUE(t->Ready());
  EXPECT_TRUE(SendExternalText(L"R1\r").Entered());
  // Enter only once the paste was taken, each behind the marker.
  EXPECT_EQ(t->EventsOf(L"edit1"), (Lines{L"WM_SETTEXT R1", L"WM_KEYDOWN 11", L"WM_KEYDOWN 56", L"WM_CHAR 16",
                                          L"WM_PASTE", L"PASTED R1", L"WM_KEYDOWN E8", L"WM_KEYDOWN D", L"ENTER R1",
                                          L"WM_CHAR D", L"WM_KEYDOWN E8"}));
}

TEST(Delivery, TheDirectWaysEnterIsAKeyDownAndAKeyUpWithRealLParams) {
  auto t = FrontTarget({L"--focus", L"edit1", L"--key-up"});
  ASSERT_TRUE(t->Ready());
  EXPECT_TRUE(SendExternalText(L"U1\r").Entered());
  // Handled before the call returned, the release included, in the order a
  // typed key arrives.
  const UINT scan = ::MapVirtualKeyW(VK_RETURN, MAPVK_VK_TO_VSC);
  wchar_t down[32], up[32];
  std::swprintf(down, 32, L"D %X", 1u | scan << 16);
  std::swprintf(up, 32, L"D %X", 0xC0000001u | scan << 16);
  EXPECT_EQ(t->EventsOf(L"edit1"),
            (Lines{L"WM_SETTEXT U1", std::wstring(L"WM_KEYDOWN ") + down, L"WM_CHAR D", std::wstring(L"WM_KEYUP ") + up,
                   L"ENTER U1"}));
}

TEST(Delivery, ABurstByTheDirectWayEntersEveryBarcodeOnceInOrder) {
  auto t = FrontTarget({L"--focus", L"edit1"});
  ASSERT_TRUE(t->Ready());
  QueueBurst(L"D", 200);
  ASSERT_TRUE(qmtest::PumpUntil([] { return TMainThreadQueue::PendingCount() == 0; }, 60000));
  t->Sync();
  EXPECT_EQ(t->Events(L"edit1", L"ENTER"), Numbered(L"D", 200));
}

TEST(Delivery, ABurstByThePasteWayEntersEveryBarcodeOnceInOrder) {
  auto t = FrontTarget({L"--controls", L"memo", L"--focus", L"memo", L"--clear-on-enter"});
  ASSERT_TRUE(t->Ready());
  QueueBurst(L"P", 200);
  ASSERT_TRUE(qmtest::PumpUntil([] { return TMainThreadQueue::PendingCount() == 0; }, 120000));
  t->Sync();
  EXPECT_EQ(t->Events(L"memo", L"ENTER"), Numbered(L"P", 200));
  EXPECT_EQ(t->Events(L"memo", L"PASTED"), Numbered(L"P", 200));
}

TEST(Delivery, TheFieldsTextLimitIsAsBeforeOnceItsEnterIsHandled) {
  auto t = FrontTarget({L"--focus", L"edit1"});
  ASSERT_TRUE(t->Ready());
  const HWND edit = t->Control(L"edit1");
  // A limit of its own, the largest a field takes, and the smallest.
  for (DWORD_PTR limit : {DWORD_PTR{50}, DWORD_PTR{0x7FFFFFFE}, DWORD_PTR{1}}) {
    SetLimit(edit, limit);
    SendExternalText(L"L" + std::to_wstring(limit) + L"\r");
    EXPECT_EQ(LimitOf(edit), limit);
  }
  EXPECT_EQ(t->Events(L"edit1", L"ENTER"), (Lines{L"L50", L"L2147483646", L"L1"}));
  EXPECT_EQ(t->Events(L"edit1", L"WM_CHAR"), (Lines{L"D", L"D", L"D"}));
}

TEST(Delivery, AnEnterHandlerThatSetsItsOwnTextLimitNeitherHoldsUpNorLosesABarcode) {
  // The handler works a while before it sets the limit, so the delivery's
  // reading of the limit waits on it: the limit it set is seen.
  auto t = FrontTarget({L"--focus", L"edit1", L"--limit-on-enter", L"20", L"--enter-work", L"100"});
  ASSERT_TRUE(t->Ready());
  const HWND edit = t->Control(L"edit1");
  const DWORD_PTR initial = LimitOf(edit);
  const DWORD start = ::GetTickCount();
  for (int i = 0; i < 3; ++i) SendExternalText(L"E" + std::to_wstring(i) + L"\r");
  EXPECT_LT(::GetTickCount() - start, 1000u);  // one wait that ran out would take that long
  EXPECT_EQ(t->Events(L"edit1", L"ENTER"), Numbered(L"E", 3));
  EXPECT_EQ(t->Events(L"edit1", L"WM_CHAR").size(), 3u);
  EXPECT_NE(initial, 20u);
  EXPECT_EQ(LimitOf(edit), 20u);  // the application's own
}

TEST(Delivery, FieldsWithoutAnObservableTextLimitGetTheirEnterWithoutWaitingOutTheBudget) {
  for (const wchar_t* option : {L"--fixed-limit"}) {
    auto t = FrontTarget({L"--focus", L"edit1", option});
    ASSERT_TRUE(t->Ready());
    const DWORD_PTR initial = LimitOf(t->Control(L"edit1"));
    const DWORD start = ::GetTickCount();
    SendExternalText(L"F1\r");
    SendExternalText(L"F2\r");
    EXPECT_LT(::GetTickCount() - start, 1000u) << option;
    // Round trips alone do not prove that the Enter was handled: wait for it.
    EXPECT_TRUE(t->WaitUntil([](const Lines& l) { return Has(l, L"edit1 ENTER F2"); }, 3000)) << option;
    EXPECT_EQ(t->Events(L"edit1", L"WM_SETTEXT"), (Lines{L"F1", L"F2"})) << option;
    EXPECT_EQ(t->Events(L"edit1", L"ENTER").size(), 2u) << option;
    EXPECT_EQ(LimitOf(t->Control(L"edit1")), initial) << option;
  }
}

// Only a control that answers with a text limit is an edit field: one that
// only has an edit's class name would show the text as its caption.
TEST(Delivery, AFieldThatAnswersNoTextLimitGetsThePasteAndNoWmSetText) {
  auto t = FrontTarget({L"--controls", L"edit1", L"--focus", L"edit1", L"--no-limit"});
  ASSERT_TRUE(t->Ready());
  EXPECT_TRUE(SendExternalText(L"N1\r").Entered());
  EXPECT_TRUE(t->Events(L"edit1", L"WM_SETTEXT").empty());
  EXPECT_EQ(t->Events(L"edit1", L"PASTED"), Lines{L"N1"});
  EXPECT_EQ(t->Events(L"edit1", L"ENTER"), Lines{L"N1"});
}

TEST(Delivery, ATargetBusyWithItsOwnPostedWorkHasHandledTheEnterWhenTheCallReturns) {
  // Each change posts it 40 messages of work, which it takes before the Enter.
  auto t = FrontTarget({L"--controls", L"edit1,memo", L"--focus", L"edit1", L"--post-work", L"40"});
  ASSERT_TRUE(t->Ready());
  SendExternalText(L"B1\r");
  EXPECT_EQ(t->EventsOf(L"edit1"), (Lines{L"WM_SETTEXT B1", L"WM_KEYDOWN D", L"ENTER B1", L"WM_CHAR D"}));
  t->Focus(1);  // the memo: the paste way
  SendExternalText(L"B2\r");
  const Lines memo = t->EventsOf(L"memo");
  const auto enter = std::find(memo.begin(), memo.end(), L"ENTER B2");
  ASSERT_NE(enter, memo.end()) << ::testing::PrintToString(memo);
  EXPECT_TRUE(Has(Lines{memo.begin(), enter}, L"PASTED B2")) << ::testing::PrintToString(memo);
  EXPECT_TRUE(Has(Lines{enter, memo.end()}, L"WM_CHAR D")) << ::testing::PrintToString(memo);
}

TEST(Delivery, PastesAndDirectEntriesIntoOneWindowTakeTurnsInOrder) {
  auto t = FrontTarget({L"--controls", L"edit1,memo", L"--focus", L"memo", L"--clear-on-enter", L"--post-work", L"5"});
  ASSERT_TRUE(t->Ready());
  for (int i = 0; i < 10; ++i) {
    t->Focus(1);  // the memo: the paste way
    SendExternalText(L"P" + std::to_wstring(i) + L"\r");
    // The field: a paste's Enter still waiting would go there instead.
    t->Focus(0);
    SendExternalText(L"D" + std::to_wstring(i) + L"\r");
  }
  EXPECT_EQ(t->Events(L"memo", L"PASTED"), Numbered(L"P", 10));
  EXPECT_EQ(t->Events(L"memo", L"ENTER"), Numbered(L"P", 10));
  EXPECT_EQ(t->Events(L"edit1", L"ENTER"), Numbered(L"D", 10));
}

}  // namespace
}  // namespace qm
