// Frame time of the focus picker for a crosshair move (draw plus push) at
// 1920 x 1080, 3840 x 1080 and 7680 x 2160, measured in one run:
//   full         every pixel redrawn, alpha set everywhere, pushed whole
//   incremental  only the changed areas redrawn and given alpha, pushed with
//                UpdateLayeredWindowIndirect and their bound as dirty rectangle
//   fallback     incremental drawing, pushed whole (used when a dirty push fails)
// Frame = draw + push; draw includes the alpha pass, push is the system's
// layered-window update alone.
// Each overlay is laid over the top-left part of the display, so run it on a
// display of at least 7680 x 2160, with the Wine prefix of the build:
//   . scripts/wine-env.sh; qm_wine_env build wide
//   xvfb-run -a -s "-screen 0 7680x2160x24" bash -c
//     'wine "$QM_WIN/bench/picker/picker_bench.exe" > bench.txt 2>&1; wineserver -k'
// and read bench.txt (Wine's output must go to a file, not a pipe);
// scripts/bench.sh does this. The rows go into the common table.
//
// picker_bench.exe --show X Y MS instead runs a real pick with the cursor at
// screen point (X, Y) and ends it with Esc after MS ms (for screenshots).
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "picker/UFocusPicker.h"

namespace qm {

struct TFocusPickerTestAccess {
  static std::unique_ptr<TFocusPickerForm> Create() {
    return std::unique_ptr<TFocusPickerForm>(new TFocusPickerForm(nullptr));
  }
  static void OverrideArea(const TPickRect* area) { TFocusPickerForm::OverrideArea(area); }
  static void SetMode(TFocusPickerForm& p, bool fullRedraw, bool pushWhole) {
    p.FFullRedraw = fullRedraw;
    p.FPushWhole = pushWhole;
  }
  static void MoveTo(TFocusPickerForm& p, TPickPoint at) {
    p.FMx = at.X;
    p.FMy = at.Y;
  }
  static std::vector<TPickRect> Draw(TFocusPickerForm& p) { return p.DrawChanges(); }
  static void Push(TFocusPickerForm& p, const std::vector<TPickRect>& dirty) { p.PushFrame(dirty); }
  static bool PushedWhole(const TFocusPickerForm& p) { return p.FPushWhole; }
};

}  // namespace qm

namespace {

using qm::TFocusPickerTestAccess;
using qm::TPickPoint;

double NowMs() {
  LARGE_INTEGER f, c;
  ::QueryPerformanceFrequency(&f);
  ::QueryPerformanceCounter(&c);
  return static_cast<double>(c.QuadPart) * 1000.0 / static_cast<double>(f.QuadPart);
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct TTimes {
  double Draw = 0, Push = 0, Frame = 0;  // medians, ms
};

// Moves the crosshair along a mouse-like path, one frame per move.
TTimes Measure(qm::TFocusPickerForm& p, std::int32_t w, std::int32_t h, bool fullRedraw,
               bool pushWhole, int frames) {
  TFocusPickerTestAccess::SetMode(p, fullRedraw, pushWhole);
  std::vector<double> draw, push, frame;
  TPickPoint at{w / 3, h / 3};
  for (int i = 0; i < frames + 2; ++i) {
    at = {at.X + 7 + (i % 3), at.Y + 3 - (i % 5)};
    TFocusPickerTestAccess::MoveTo(p, at);
    const double t0 = NowMs();
    const std::vector<qm::TPickRect> dirty = TFocusPickerTestAccess::Draw(p);
    const double t1 = NowMs();
    TFocusPickerTestAccess::Push(p, dirty);
    const double t2 = NowMs();
    if (i < 2) continue;  // warm-up
    draw.push_back(t1 - t0);
    push.push_back(t2 - t1);
    frame.push_back(t2 - t0);
  }
  return {Median(draw), Median(push), Median(frame)};
}

// Rows of the common benchmark table (measure | value | baseline | ratio).
int RunBench() {
  const int screenW = ::GetSystemMetrics(SM_CXVIRTUALSCREEN);
  const int screenH = ::GetSystemMetrics(SM_CYVIRTUALSCREEN);
  const SIZE sizes[] = {{1920, 1080}, {3840, 1080}, {7680, 2160}};
  for (const SIZE& s : sizes) {
    if (s.cx > screenW || s.cy > screenH) {
      std::printf("| picker %ld x %ld | skipped: display is %d x %d | | |\n", s.cx, s.cy, screenW, screenH);
      continue;
    }
    const qm::TPickRect area{0, 0, s.cx, s.cy};
    TFocusPickerTestAccess::OverrideArea(&area);
    std::unique_ptr<qm::TFocusPickerForm> picker = TFocusPickerTestAccess::Create();
    TFocusPickerTestAccess::OverrideArea(nullptr);
    if (!picker->Wnd()) {
      std::printf("| picker %ld x %ld | skipped: no overlay window | | |\n", s.cx, s.cy);
      continue;
    }
    const int fullFrames = s.cx * s.cy > 4'000'000 ? 20 : 40;
    const TTimes full = Measure(*picker, s.cx, s.cy, true, true, fullFrames);
    const TTimes incr = Measure(*picker, s.cx, s.cy, false, false, 80);
    const bool dirtyRefused = TFocusPickerTestAccess::PushedWhole(*picker);
    const TTimes fallback = Measure(*picker, s.cx, s.cy, false, true, 40);
    std::printf("| picker %ld x %ld, frame per move (draw + push), ms%s | %.2f | %.2f (full redraw) | %.3f |\n",
                s.cx, s.cy, dirtyRefused ? " (dirty push refused)" : "", incr.Frame, full.Frame,
                incr.Frame / full.Frame);
    std::printf("| picker %ld x %ld, drawing per move, ms | %.3f | %.2f (full redraw) | %.4f |\n", s.cx, s.cy,
                incr.Draw, full.Draw, incr.Draw / full.Draw);
    std::printf("| picker %ld x %ld, push per move, ms | %.2f | %.2f (whole push) | %.3f |\n", s.cx, s.cy,
                incr.Push, fallback.Push, incr.Push / fallback.Push);
  }
  return 0;
}

POINT g_showAt;
DWORD g_showUntil;

void CALLBACK ShowTick(HWND, UINT, UINT_PTR, DWORD) {
  ::SetCursorPos(g_showAt.x, g_showAt.y);
  if (static_cast<LONG>(::GetTickCount() - g_showUntil) >= 0) {
    ::keybd_event(VK_ESCAPE, 0, 0, 0);
    ::keybd_event(VK_ESCAPE, 0, KEYEVENTF_KEYUP, 0);
  }
}

// Shows a real pick with the cursor resting at (x, y), then presses Esc.
int RunShow(int x, int y, DWORD ms) {
  g_showAt = {x, y};
  g_showUntil = ::GetTickCount() + ms;
  ::SetTimer(nullptr, 0, 50, &ShowTick);
  qm::PickFocusPoint(nullptr);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 5 && std::string(argv[1]) == "--show")
    return RunShow(std::atoi(argv[2]), std::atoi(argv[3]), static_cast<DWORD>(std::atoi(argv[4])));
  return RunBench();
}
