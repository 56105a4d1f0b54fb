// How the real program meets targets that real applications are like: a slow
// Enter handler, a form acting on the key's release, a maximised window, the
// focus on a button, fields that take no text.
#include <gtest/gtest.h>

#include "WireRig.h"

namespace {

using namespace qme2e;
using Texts = std::vector<std::wstring>;

Texts Numbered(const std::wstring& prefix, int count) {
  Texts out;
  for (int i = 0; i < count; ++i) out.push_back(prefix + std::to_wstring(i));
  return out;
}

std::string Lines(const Texts& texts) {
  std::string bytes;
  for (const std::wstring& t : texts) bytes += U8(t) + "\r\n";
  return bytes;
}

bool LoggedNotEntered(const TQuillmere& app) {
  for (const std::wstring& m : app.LogMessages())
    if (m.rfind(L"条码未录入", 0) == 0) return true;
  return false;
}

TEST(DeliveryTarget, ABurstIntoATargetTakingTwoSecondsPerEnterIsEnteredWholeAndInOrder) {
  TDeliveryRig rig({L"--controls", L"edit1", L"--focus", L"edit1", L"--enter-work", L"2000"});
  ASSERT_TRUE(rig.Start());
  TResponseProbe probe(rig.app.Main(), 100, 5000);
  const Texts texts = Numbered(L"SLOW-", 5);
  ASSERT_TRUE(SendLines(rig.port, Lines(texts)));
  ASSERT_TRUE(rig.WaitEntered(texts.back(), 30000)) << rig.Entered().size();
  probe.Stop();
  EXPECT_EQ(U8(rig.Entered()), U8(texts));
  EXPECT_EQ(U8(rig.Seen(L"WM_SETTEXT")), U8(texts));
  EXPECT_FALSE(LoggedNotEntered(rig.app));
  // The program's window answered throughout the waits.
  EXPECT_EQ(probe.Unanswered(), 0u);
  EXPECT_LT(probe.LongestMs(), 1000.0);
}

// A web page busy with the last scan, or drawn by another process: the
// window takes the keys at once and the page handles them 1.5 s later. Each
// paste gets its own barcode and its Enter only after it asked for it.
TEST(DeliveryTarget, AControlThatHandlesItsInputLateGetsABurstWholeEachOnceInOrder) {
  TDeliveryRig rig({L"--controls", L"page", L"--focus", L"page", L"--late", L"1500", L"--clear-on-enter"});
  ASSERT_TRUE(rig.Start());
  const Texts texts{L"LZ1", L"LZ2", L"LZ3"};
  ASSERT_TRUE(SendLines(rig.port, Lines(texts)));
  ASSERT_TRUE(rig.WaitEntered(L"LZ3", 20000, L"page")) << rig.Entered(L"page").size();
  EXPECT_EQ(U8(rig.Entered(L"page")), U8(texts));
  EXPECT_EQ(U8(rig.Seen(L"PASTED", L"page")), U8(texts));
  EXPECT_FALSE(LoggedNotEntered(rig.app));
}

// A form that submits once the code is long enough: its change handler
// takes 600 ms and empties the field. WM_SETTEXT is sent once and waited for,
// the program's window answering meanwhile.
TEST(DeliveryTarget, AFieldWhoseSlowChangeHandlerEmptiesItGetsEachTextOnceAndNoFalseAlarm) {
  TDeliveryRig rig({L"--controls", L"edit1", L"--focus", L"edit1", L"--slow-change", L"600"});
  ASSERT_TRUE(rig.Start());
  TResponseProbe probe(rig.app.Main(), 50, 5000);
  ASSERT_TRUE(SendLines(rig.port, "SC-1\r\nSC-2\r\n"));
  ASSERT_TRUE(rig.WaitEnteredCount(2, 10000)) << rig.Seen(L"WM_SETTEXT").size();
  probe.Stop();
  EXPECT_EQ(U8(rig.Seen(L"WM_SETTEXT")), U8((Texts{L"SC-1", L"SC-2"})));
  EXPECT_EQ(rig.Entered(), (Texts{L"", L""}));  // emptied by the form: its business
  EXPECT_FALSE(LoggedNotEntered(rig.app));
  EXPECT_EQ(probe.Unanswered(), 0u);
  EXPECT_LT(probe.LongestMs(), 300.0);
}

// A scan dialog that closes on Enter got its barcode: no false alarm, which
// would have the user scan it again. The next barcode, entered in another
// window, shows the first delivery is over.
TEST(DeliveryTarget, ATargetThatClosesOnEnterGotItsBarcodeAndNothingIsLogged) {
  TDeliveryRig rig({L"--controls", L"edit1", L"--focus", L"edit1", L"--close-on-enter"});
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(SendLines(rig.port, "CD1\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"CD1", 10000));
  ASSERT_TRUE(WaitFor([&] { return !::IsWindow(rig.target.Main()); }, 10000));
  qmtest::TargetProcess next(TDeliveryRig::EditTarget());
  ASSERT_TRUE(next.Ready());
  ASSERT_TRUE(WaitFor([&] { return ::SetForegroundWindow(next.Main()) && next.Sync() && ::GetForegroundWindow() == next.Main(); }, 5000));
  ASSERT_TRUE(SendLines(rig.port, "CD2\r\n"));
  ASSERT_TRUE(next.WaitUntil([&](const auto&) { return next.Events(L"edit1", L"ENTER") == Texts{L"CD2"}; }, 10000));
  EXPECT_FALSE(LoggedNotEntered(rig.app));
}

// A program that reads barcode.txt when the Enter arrives finds that barcode.
TEST(DeliveryTarget, BarcodeTxtHoldsEachBarcodeWhenItsEnterArrives) {
  TDeliveryRig rig({L"--controls", L"edit1", L"--focus", L"edit1", L"--file", L"{dir}barcode.txt"});
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(SendLines(rig.port, "F-1\r\nF-22\r\n条码3\r\n"));
  ASSERT_TRUE(rig.WaitEnteredCount(3, 10000));
  EXPECT_EQ(U8(rig.Seen(L"FILE")), U8((Texts{L"F-1\r\r\n", L"F-22\r\r\n", L"条码3\r\r\n"})));
}

TEST(DeliveryTarget, AFormThatActsOnTheKeysReleaseSubmitsEveryBarcode) {
  TDeliveryRig rig({L"--controls", L"edit1", L"--focus", L"edit1", L"--key-up"});
  ASSERT_TRUE(rig.Start());
  const Texts texts = Numbered(L"UP-", 20);
  ASSERT_TRUE(SendLines(rig.port, Lines(texts)));
  ASSERT_TRUE(rig.WaitEntered(texts.back(), 20000)) << rig.Entered().size();
  EXPECT_EQ(U8(rig.UntilMark()), U8(texts));
}

BOOL CALLBACK FindWineTray(HWND w, LPARAM lp) {
  wchar_t cls[64] = {};
  ::GetClassNameW(w, cls, 64);
  if (std::wstring(cls) == L"__winex11_standalone_tray" && ::IsWindowVisible(w))
    reinterpret_cast<std::vector<HWND>*>(lp)->push_back(w);
  return TRUE;
}

// Wine's stand-in for the notification area is an ordinary window that
// would lie between the program's window and the target; Windows' own
// taskbar is a tool window, never a target. Hidden while it lives; the
// tests after this one need it back.
struct TWineTrayHidden {
  std::vector<HWND> hidden;
  TWineTrayHidden() {
    ::EnumWindows(&FindWineTray, reinterpret_cast<LPARAM>(&hidden));
    for (HWND w : hidden) ::ShowWindow(w, SW_HIDE);
  }
  ~TWineTrayHidden() {
    for (HWND w : hidden) ::ShowWindow(w, SW_SHOWNOACTIVATE);
  }
};

// A memo takes the paste way. The window stays maximised whether it is in
// front already or the program's own window is.
TEST(DeliveryTarget, AMaximisedTargetStaysMaximisedAcrossPastedBarcodes) {
  TDeliveryRig rig({L"--controls", L"memo", L"--focus", L"memo", L"--clear-on-enter", L"--show", L"max"});
  ASSERT_TRUE(rig.Start());
  TWineTrayHidden trayHidden;
  ASSERT_TRUE(::IsZoomed(rig.target.Main()));
  ASSERT_TRUE(SendLines(rig.port, "MAX-1\r\nMAX-2\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"MAX-2", 10000, L"memo"));
  EXPECT_TRUE(::IsZoomed(rig.target.Main()));
  ASSERT_TRUE(WaitFor(
      [&] {
        ::SetForegroundWindow(rig.app.Main());
        return rig.app.Sync() && ::GetForegroundWindow() == rig.app.Main();
      },
      5000));
  ASSERT_TRUE(SendLines(rig.port, "MAX-3\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"MAX-3", 10000, L"memo")) << U8(rig.app.LogMessages().back());
  ASSERT_TRUE(rig.target.Sync());
  EXPECT_TRUE(::IsZoomed(rig.target.Main()));
  EXPECT_EQ(U8(rig.Entered(L"memo")), U8((Texts{L"MAX-1", L"MAX-2", L"MAX-3"})));
}

// In a window that runs the dialog manager, Enter on a focused push button
// clicks it: no key at all goes there.
TEST(DeliveryTarget, WithTheFocusOnAButtonNoKeyGoesThereNoFieldIsWrittenAndTheBarcodeIsLogged) {
  TDeliveryRig rig({L"--controls", L"edit1,button", L"--focus", L"button", L"--dialog"});
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(SendLines(rig.port, "BTN-1\r\n"));
  EXPECT_TRUE(rig.app.WaitLogContains(L"条码未录入（焦点不在输入框上）：BTN-1", 10000));
  // The window usually sits hidden: the notification icon says it too.
  EXPECT_TRUE(WaitToolTip(L"有条码未能录入，详见日志", true, 5000));
  ASSERT_TRUE(rig.target.Sync());
  EXPECT_TRUE(rig.Seen(L"WM_SETTEXT").empty());
  EXPECT_TRUE(rig.Seen(L"CLICKED", L"button").empty());
  EXPECT_TRUE(rig.Entered().empty());
}

TEST(DeliveryTarget, TheSearchNeverWritesReadOnlyPasswordOrDisabledFieldsNorOnesInADisabledPanel) {
  TDeliveryRig rig({L"--controls", L"readonly,password,disabled,panel,edit1", L"--focus", L"none"});
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(SendLines(rig.port, "FIELD-1\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"FIELD-1", 10000));
  for (const wchar_t* field : {L"readonly", L"password", L"disabled", L"panel.edit"})
    EXPECT_TRUE(rig.Seen(L"WM_SETTEXT", field).empty()) << U8(field);
  EXPECT_FALSE(LoggedNotEntered(rig.app));
}

}  // namespace
