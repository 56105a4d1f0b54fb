// Faults around the delivery, against the real program: config.ini and
// barcode.txt held open by another process, the clipboard held open during
// a paste, a target that stops responding, and a target window that closes
// while barcodes go into it.
#include <gtest/gtest.h>

#include <memory>

#include "WireRig.h"
#include "app/MainFrmIds.h"

namespace {

using namespace qme2e;
using Texts = std::vector<std::wstring>;

std::string FileBytes(const std::string& text) { return "\xef\xbb\xbf" + text + "\r\r\n"; }

bool TargetAnswers(HWND wnd, DWORD ms) {
  DWORD_PTR r = 0;
  return ::SendMessageTimeoutW(wnd, WM_NULL, 0, 0, SMTO_NORMAL, ms, &r) != 0;
}

BOOL CALLBACK FindOverlay(HWND w, LPARAM lp) {
  auto* found = reinterpret_cast<std::pair<DWORD, HWND>*>(lp);
  wchar_t cls[64] = {};
  ::GetClassNameW(w, cls, 64);
  DWORD pid = 0;
  ::GetWindowThreadProcessId(w, &pid);
  if (pid == found->first && std::wstring(cls) == L"FocusPickerOv3" && ::IsWindowVisible(w)) {
    found->second = w;
    return FALSE;
  }
  return TRUE;
}

// The focus picker's overlay of process pid, when one is shown.
HWND Overlay(DWORD pid) {
  std::pair<DWORD, HWND> found{pid, nullptr};
  ::EnumWindows(&FindOverlay, reinterpret_cast<LPARAM>(&found));
  return found.second;
}

POINT CentreOf(HWND wnd) {
  RECT r{};
  ::GetWindowRect(wnd, &r);
  return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}

TEST(FaultDelivery, AFocusPointThatCannotBeSavedShowsTheErrorAndTheProgramGoesOn) {
  TDeliveryRig rig({L"--controls", L"edit1,edit2", L"--focus", L"edit1", L"--x", L"600", L"--y", L"400"});
  ASSERT_TRUE(rig.Start());
  const POINT point = CentreOf(rig.target.Control(L"edit2"));
  RECT mainRect{};
  ::GetWindowRect(rig.app.Main(), &mainRect);
  ASSERT_FALSE(::PtInRect(&mainRect, point)) << "the program's window would take the click";
  const std::wstring ini = rig.dir.File(L"config.ini");
  const std::string iniBefore = ReadBytes(ini);
  const std::vector<std::wstring> logBefore = rig.app.LogMessages();
  const std::wstring labelBefore = rig.app.Text(qm::kIdLblFocus);

  TFileLock lock(ini, GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(lock.Held());
  rig.app.PostClick(qm::kIdBtnPickFocus);
  ASSERT_TRUE(WaitFor([&] { return Overlay(rig.app.Pid()) != nullptr; }, 10000));
  // The crosshair follows the cursor on the picker's timer; the click lands
  // on its centre once it rests there.
  ::SetCursorPos(point.x, point.y);
  ::Sleep(200);
  MouseButton(MOUSEEVENTF_LEFTDOWN);
  MouseButton(MOUSEEVENTF_LEFTUP);
  const std::optional<TMessageBox> box = WaitMessageBox(rig.app.Pid(), 10000);
  ASSERT_TRUE(box);
  EXPECT_EQ(U8(box->text), U8(L"Unable to write to " + ini + L"."));
  EXPECT_EQ(box->title, L"Quillmere");
  EXPECT_TRUE(ShowsSystemIcon(*box, IDI_ERROR));
  EXPECT_EQ(Overlay(rig.app.Pid()), nullptr);
  EXPECT_TRUE(::IsWindowVisible(rig.app.Main()));
  PressOk(*box);
  ASSERT_TRUE(WaitGone(box->wnd, 5000));
  ASSERT_TRUE(rig.app.Sync());
  EXPECT_EQ(U8(rig.app.Text(qm::kIdLblFocus)), U8(labelBefore));
  EXPECT_EQ(U8(rig.app.LogMessages()), U8(logBefore));
  EXPECT_EQ(ReadBytes(ini), iniBefore);

  // The program goes on, and the point it holds is clicked before each
  // barcode, though neither the file nor the label has it.
  ASSERT_TRUE(rig.TargetInFront());
  ASSERT_TRUE(SendLines(rig.port, "AFTER-PICK\r\n"));
  EXPECT_TRUE(rig.WaitEntered(L"AFTER-PICK", 10000, L"edit2"));
  EXPECT_TRUE(rig.Entered(L"edit1").empty());
}

TEST(FaultDelivery, ABarcodeFileHeldOpenIsLeftAsItIsAndDeliveryGoesOn) {
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(SendLines(rig.port, "FIRST\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"FIRST", 10000));
  ASSERT_TRUE(rig.WaitBarcodeFile(FileBytes("FIRST"), 5000));
  const std::wstring file = rig.dir.File(L"barcode.txt");
  {
    TFileLock lock(file, GENERIC_READ, FILE_SHARE_READ);
    ASSERT_TRUE(lock.Held());
    ASSERT_TRUE(SendLines(rig.port, "HELD-1\r\nHELD-2\r\nHELD-3\r\n"));
    // The file is written after each delivery: HELD-2's attempt is over
    // once HELD-3 is in.
    ASSERT_TRUE(rig.WaitEntered(L"HELD-3", 10000));
    EXPECT_EQ(ReadBytes(file), FileBytes("FIRST"));
  }
  ASSERT_TRUE(SendLines(rig.port, "AFTER-RELEASE\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"AFTER-RELEASE", 10000));
  EXPECT_TRUE(rig.WaitBarcodeFile(FileBytes("AFTER-RELEASE"), 5000)) << ReadBytes(file);
  EXPECT_EQ(rig.UntilMark(), (Texts{L"FIRST", L"HELD-1", L"HELD-2", L"HELD-3", L"AFTER-RELEASE"}));
}

// The clipboard is needed on the paste way only: a multi-line field.
TEST(FaultDelivery, AClipboardHeldByAnotherProgramCostsThatPasteAndNothingElse) {
  TDeliveryRig rig({L"--controls", L"memo", L"--focus", L"memo"});
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(SendLines(rig.port, "P-1\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"P-1", 10000, L"memo"));
  ASSERT_TRUE(rig.WaitBarcodeFile(FileBytes("P-1"), 5000));
  // P-1's delivery ends with the marker key pressed after its Enter; counted
  // before that, the marker would look like a key of P-2's.
  ASSERT_TRUE(WaitFor(
      [&] {
        rig.NewEvents();
        return rig.all.back().event == L"WM_KEYDOWN" && rig.all.back().data.rfind(L"E8", 0) == 0;
      },
      5000));
  const std::size_t eventsBefore = rig.all.size();

  DWORD_PTR held = 0;
  ASSERT_TRUE(::SendMessageTimeoutW(rig.target.Main(), WM_APP + 4, 0, 0, SMTO_NORMAL, 5000, &held));
  ASSERT_TRUE(held) << "the target could not open the clipboard";
  ASSERT_TRUE(SendLines(rig.port, "P-2-WHILE-HELD\r\n"));
  // The file is written when the delivery ends: then nothing was typed, not
  // even a paste of what the clipboard held before, nor an Enter.
  EXPECT_TRUE(rig.WaitBarcodeFile(FileBytes("P-2-WHILE-HELD"), 10000));
  ASSERT_TRUE(rig.target.Sync());
  rig.NewEvents();
  EXPECT_EQ(rig.all.size(), eventsBefore) << U8(rig.all.back().event + L" " + rig.all.back().data);
  EXPECT_TRUE(rig.app.WaitLogContains(L"条码未录入（剪贴板被占用）：P-2-WHILE-HELD", 5000));

  DWORD_PTR freed = 0;
  ASSERT_TRUE(::SendMessageTimeoutW(rig.target.Main(), WM_APP + 5, 0, 0, SMTO_NORMAL, 5000, &freed));
  ASSERT_TRUE(freed);
  ASSERT_TRUE(SendLines(rig.port, "P-3\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"P-1\r\nP-3", 10000, L"memo"));
  EXPECT_EQ(rig.Seen(L"PASTED", L"memo"), (Texts{L"P-1", L"P-1\r\nP-3"}));
  EXPECT_EQ(rig.Entered(L"memo"), (Texts{L"P-1", L"P-1\r\nP-3"}));
}

// A barcode that meets a target not answering is waited for until Windows
// counts the target as hung (about 5 s), then given up and logged; it never
// reaches the target, not even once it answers again. The program's window
// answers all along.
TEST(FaultDelivery, ATargetThatStopsRespondingCostsItsBarcodeAndThenRecovers) {
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(SendLines(rig.port, "H-1\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"H-1", 10000));
  ASSERT_TRUE(rig.WaitBarcodeFile(FileBytes("H-1"), 5000));
  TResponseProbe probe(rig.app.Main(), 50, 5000);
  rig.target.Hang(8000);
  ASSERT_TRUE(WaitFor([&] { return !TargetAnswers(rig.target.Main(), 100); }, 5000));
  ASSERT_TRUE(SendLines(rig.port, "H-2-HUNG\r\n"));
  EXPECT_TRUE(rig.app.WaitLogContains(L"条码未录入（目标程序无响应）：H-2-HUNG", 10000));
  EXPECT_FALSE(TargetAnswers(rig.target.Main(), 100)) << "the program waited until the target answered";
  ASSERT_TRUE(WaitFor([&] { return TargetAnswers(rig.target.Main(), 1000); }, 10000));
  ASSERT_TRUE(SendLines(rig.port, "H-3\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"H-3", 10000));
  probe.Stop();
  EXPECT_EQ(rig.Seen(L"WM_SETTEXT"), (Texts{L"H-1", L"H-3"}));
  EXPECT_EQ(rig.Entered(), (Texts{L"H-1", L"H-3"}));
  EXPECT_EQ(probe.Unanswered(), 0u);
  EXPECT_LT(probe.LongestMs(), 1000.0);
}

// The exit of a program under Wine takes seconds of its own (its window's
// end): the one that waits for a target is held to the same time, measured
// first, well short of the 5 s after which Windows counts the target hung.
TEST(FaultDelivery, ExitWhileABarcodeWaitsForABusyTargetEndsTheWaitAndTheProgram) {
  const auto exitMs = [](TDeliveryRig& rig) {
    const DWORD start = ::GetTickCount();
    rig.app.Post(WM_COMMAND, MAKEWPARAM(qm::kIdMniExit, 0), 0);  // what the menu's "退出" runs
    EXPECT_TRUE(rig.app.WaitForExit(20000));
    EXPECT_EQ(rig.app.ExitCode(), 0u);
    return ::GetTickCount() - start;
  };
  DWORD idleExit = 0;
  {
    TDeliveryRig idle;
    ASSERT_TRUE(idle.Start());
    idleExit = exitMs(idle);
  }
  // The target takes 20 s over its Enter: once it logs the Enter, the
  // delivery is waiting for it to be handled.
  std::vector<std::wstring> busy = TDeliveryRig::EditTarget();
  busy.insert(busy.end(), {L"--enter-work", L"20000"});
  TDeliveryRig rig(busy);
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(SendLines(rig.port, "WAITING\r\n"));
  ASSERT_TRUE(rig.WaitEntered(L"WAITING", 10000));
  const DWORD waitingExit = exitMs(rig);
  EXPECT_LT(waitingExit, idleExit + 2000) << "idle exit " << idleExit << " ms";
}

// A text still on offer when the program ends (its target has the paste
// keys and has not asked yet) is handed over as the program's clipboard
// window goes: a paste after the exit still gets it.
TEST(FaultDelivery, ExitWithAPasteStillOnOfferLeavesTheTextOnTheClipboard) {
  TDeliveryRig rig({L"--controls", L"canvas", L"--focus", L"canvas"});
  ASSERT_TRUE(rig.Start());
  ASSERT_TRUE(SendLines(rig.port, "ON-OFFER\r\n"));
  ASSERT_TRUE(WaitFor([&] { return !rig.Seen(L"WM_KEYDOWN", L"canvas").empty(); }, 10000));
  rig.app.Post(WM_COMMAND, MAKEWPARAM(qm::kIdMniExit, 0), 0);
  ASSERT_TRUE(rig.app.WaitForExit(20000));
  EXPECT_EQ(U8(qmtest::ClipboardText()), "ON-OFFER");
}

// Barcodes stream into a target whose window closes among them (posted
// WM_CLOSE, so at any point of a search or a delivery). Those before the
// close reach it once each, in order; the one under way is lost, and so
// are those while no other window is in front; once another target is in
// front, the rest reach that one, in order. Nothing is entered twice, and
// nothing into the program's own window.
TEST(FaultDelivery, ATargetWindowThatClosesAmongTheBarcodesNeverGetsOneTwice) {
  TDeliveryRig rig;  // its target is the one behind
  ASSERT_TRUE(rig.Start());
  const qmtest::TargetProcess& behind = rig.target;
  TLogTail behindTail(behind.LogPath());
  std::vector<int> front, back;
  const auto parse = [](const std::vector<std::string>& lines, std::vector<int>& into) {
    for (const std::string& l : lines)
      if (l.rfind("edit1 ENTER Z-", 0) == 0) into.push_back(std::atoi(l.c_str() + 14));
  };
  int next = 0;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    auto target = std::make_unique<qmtest::TargetProcess>(TDeliveryRig::EditTarget());
    ASSERT_TRUE(target->Ready());
    ::SetForegroundWindow(target->Main());
    ASSERT_TRUE(WaitFor([&] { return target->Sync() && ::GetForegroundWindow() == target->Main(); }, 5000));
    TLogTail tail(target->LogPath());
    const int first = next;
    std::string lines;
    for (int i = 0; i < 60; ++i) lines += "Z-" + std::to_string(next++) + "\r\n";
    TTcpClient c(rig.port);
    ASSERT_TRUE(c.Send(lines));
    std::vector<int> got;
    // Closes after a number of barcodes that differs from round to round.
    ASSERT_TRUE(WaitFor(
        [&] {
          parse(tail.NewLines(), got);
          return got.size() >= static_cast<std::size_t>(10 + 15 * round);
        },
        20000));
    ::PostMessageW(target->Main(), WM_CLOSE, 0, 0);
    ASSERT_TRUE(WaitFor([&] { return !::IsWindow(target->Main()); }, 10000));
    // Asked again until it holds: Wine may give the activation of the closed
    // window to its stand-in notification area first.
    ASSERT_TRUE(WaitFor(
        [&] {
          ::SetForegroundWindow(behind.Main());
          return behind.Sync() && ::GetForegroundWindow() == behind.Main();
        },
        5000));
    c.ShutdownSend();
    ASSERT_TRUE(c.ClosedByPeer(30000));
    ASSERT_TRUE(SendLines(rig.port, "Z-" + std::to_string(next++) + "\r\n"));
    // The last one of the round reaches the window behind.
    ASSERT_TRUE(WaitFor(
        [&] {
          parse(behindTail.NewLines(), back);
          return !back.empty() && back.back() == next - 1;
        },
        30000))
        << (back.empty() ? -1 : back.back());
    parse(tail.NewLines(), got);
    front.insert(front.end(), got.begin(), got.end());
    EXPECT_GE(got.size(), static_cast<std::size_t>(10 + 15 * round));
    EXPECT_EQ(got.front(), first);
    std::printf("[close] round %d: %zu of 60 before the close\n", round, got.size());
  }
  // In order and once: front's and back's numbers together rise strictly,
  // round by round.
  std::vector<int> all;
  std::size_t f = 0, b = 0;
  while (f < front.size() || b < back.size()) {
    if (b == back.size() || (f < front.size() && front[f] < back[b])) all.push_back(front[f++]);
    else all.push_back(back[b++]);
  }
  for (std::size_t i = 1; i < all.size(); ++i) EXPECT_LT(all[i - 1], all[i]) << i;
  for (std::size_t i = 1; i < front.size(); ++i) EXPECT_LT(front[i - 1], front[i]);
  for (std::size_t i = 1; i < back.size(); ++i) EXPECT_LT(back[i - 1], back[i]);
  std::printf("[close] %zu sent, %zu entered in the closing windows, %zu in the one behind, %zu lost\n",
              static_cast<std::size_t>(next), front.size(), back.size(),
              static_cast<std::size_t>(next) - front.size() - back.size());
  EXPECT_TRUE(rig.app.Running());
  EXPECT_EQ(rig.app.Text(qm::kIdEdtPort), std::to_wstring(rig.port));
}

}  // namespace
