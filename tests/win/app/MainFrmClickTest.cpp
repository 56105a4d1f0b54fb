// The focus click of the barcode handler, recorded through the input table:
// the exact cursor and mouse calls, in order, for a point on a monitor and
// for one that no monitor shows.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "WinTestSupport.h"
#include "app/UMainFrm.h"
#include "input/UExternalInput.h"
#include "platform/Application.h"
#include "platform/InputSynth.h"

namespace qm {
namespace {

std::vector<std::string>& Calls() {
  static std::vector<std::string> calls;
  return calls;
}

// The pixel a normalised coordinate of the virtual desktop lands on. Systems
// map it back either as floor(n * w / 65536) or as n * (w - 1) / 65535
// rounded; -1 when the two disagree.
int Pixel(LONG n, int origin, int extent) {
  const std::int64_t floorWay = std::int64_t{n} * extent / 65536;
  const std::int64_t roundWay = (std::int64_t{n} * (extent - 1) * 2 + 65535) / (2 * 65535);
  return floorWay == roundWay ? origin + static_cast<int>(floorWay) : -1;
}

UINT WINAPI RecordInput(UINT count, LPINPUT in, int) {
  for (UINT i = 0; i < count; ++i) {
    if (in[i].type == INPUT_KEYBOARD) {
      Calls().push_back("key " + std::to_string(in[i].ki.wVk) + (in[i].ki.dwFlags & KEYEVENTF_KEYUP ? " up" : " down"));
    } else if (in[i].type == INPUT_MOUSE) {
      const int x = Pixel(in[i].mi.dx, ::GetSystemMetrics(SM_XVIRTUALSCREEN), ::GetSystemMetrics(SM_CXVIRTUALSCREEN));
      const int y = Pixel(in[i].mi.dy, ::GetSystemMetrics(SM_YVIRTUALSCREEN), ::GetSystemMetrics(SM_CYVIRTUALSCREEN));
      Calls().push_back("mouse " + std::to_string(in[i].mi.dwFlags) + " at " + std::to_string(x) + "," +
                        std::to_string(y) + " " + std::to_string(in[i].mi.mouseData));
    }
  }
  return count;
}
BOOL WINAPI RecordSetCursor(int x, int y) {
  Calls().push_back("set " + std::to_string(x) + "," + std::to_string(y));
  return TRUE;
}
BOOL WINAPI RecordGetCursor(LPPOINT p) {
  Calls().push_back("get");
  *p = POINT{777, 555};
  return TRUE;
}

// A main window of this process, with config.ini beside this executable.
class MainFrmClick : public ::testing::Test {
 protected:
  void StartWith(int x, int y) {
    ASSERT_TRUE(qmtest::WriteTestConfig("FocusX=" + std::to_string(x) + "\r\nFocusY=" + std::to_string(y) + "\r\n"));
    frm_ = std::make_unique<TMainFrm>();
    ASSERT_TRUE(frm_->Create());
    saved_ = InputFunctions();
    InputFunctions() = TInputFunctions{&RecordInput, &RecordSetCursor, &RecordGetCursor};
    // The recorded keys never arrive anywhere: nothing to wait for.
    SetWaitForTarget(false);
    Calls().clear();
  }
  void TearDown() override {
    InputFunctions() = saved_;
    SetWaitForTarget(true);
    if (frm_) frm_->Destroy();
    frm_.reset();
    ::DeleteFileW((TApplication::ExeDir() + L"config.ini").c_str());
    ::DeleteFileW((TApplication::ExeDir() + L"barcode.txt").c_str());
  }
  // The click alone, without the keys of the delivery after it.
  std::vector<std::string> ClickCalls() {
    std::vector<std::string> out;
    for (const std::string& c : Calls())
      if (c.rfind("key", 0) != 0) out.push_back(c);
    return out;
  }

  std::unique_ptr<TMainFrm> frm_;
  TInputFunctions saved_{};
};

// Every button event carries the point, absolute on the virtual desktop, so
// a mouse moved meanwhile cannot move the click.
std::string Button(DWORD flag, int x, int y) {
  const DWORD flags = flag | MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE | MOUSEEVENTF_VIRTUALDESK;
  return "mouse " + std::to_string(flags) + " at " + std::to_string(x) + "," + std::to_string(y) + " 0";
}

TEST_F(MainFrmClick, APointOnAMonitorIsClickedAndTheCursorPutBack) {
  StartWith(100, 200);
  frm_->HandleBarcode(L"ABC");
  EXPECT_EQ(ClickCalls(), (std::vector<std::string>{"get", "set 100,200", Button(MOUSEEVENTF_LEFTDOWN, 100, 200),
                                                    Button(MOUSEEVENTF_LEFTUP, 100, 200), "set 777,555"}));
}

TEST_F(MainFrmClick, ZeroCoordinatesOnOneAxisAreStillAPoint) {
  StartWith(0, 300);
  frm_->HandleBarcode(L"ABC");
  ASSERT_GE(ClickCalls().size(), 2u);
  EXPECT_EQ(ClickCalls()[1], "set 0,300");
}

TEST_F(MainFrmClick, APointNoMonitorShowsAndTheUnsetPointAreNotClicked) {
  // The virtual screen here is one monitor at 0, 0: left of it is nothing.
  StartWith(-500, 300);
  frm_->HandleBarcode(L"ABC");
  EXPECT_TRUE(ClickCalls().empty());
  TearDown();
  StartWith(0, 0);
  frm_->HandleBarcode(L"ABC");
  EXPECT_TRUE(ClickCalls().empty());
}

}  // namespace
}  // namespace qm
