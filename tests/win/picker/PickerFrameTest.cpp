// The overlay's frames under Wine: each frame drawn only where it changed
// must equal the same state drawn whole, and must be what the screen shows.
#include <gtest/gtest.h>

#include <cstring>

#include "PickerTestSupport.h"
#include "WinTestSupport.h"
#include "platform/ScopeExit.h"

namespace qm {
namespace {

using Frame = std::vector<std::uint8_t>;

std::uint32_t PixelAt(const Frame& f, std::int32_t w, std::int32_t x, std::int32_t y) {
  std::uint32_t v;
  std::memcpy(&v, f.data() + (static_cast<std::size_t>(y) * w + x) * 4, 4);
  return v;
}

// "" when equal, else where and how they first differ.
std::string FirstDifference(const Frame& a, const Frame& b, std::int32_t w) {
  if (a.size() != b.size()) return "sizes differ";
  for (std::size_t i = 0; i < a.size(); i += 4) {
    if (std::memcmp(&a[i], &b[i], 4) != 0) {
      const std::int32_t x = static_cast<std::int32_t>(i / 4 % w), y = static_cast<std::int32_t>(i / 4 / w);
      char text[96];
      std::snprintf(text, sizeof text, "pixel %d,%d: %08x vs %08x", x, y, PixelAt(a, w, x, y),
                    PixelAt(b, w, x, y));
      return text;
    }
  }
  return "";
}

// The screen as the display shows it, 0x00RRGGBB per pixel.
Frame ReadScreen(std::int32_t w, std::int32_t h) {
  HDC screen = ::GetDC(nullptr);
  HDC mem = ::CreateCompatibleDC(screen);
  BITMAPINFO bi{};
  bi.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HBITMAP dib = ::CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = ::SelectObject(mem, dib);
  ::BitBlt(mem, 0, 0, w, h, screen, 0, 0, SRCCOPY);
  ::GdiFlush();
  Frame out(static_cast<std::uint8_t*>(bits), static_cast<std::uint8_t*>(bits) + std::size_t(w) * h * 4);
  ::SelectObject(mem, old);
  ::DeleteObject(dib);
  ::DeleteDC(mem);
  ::ReleaseDC(nullptr, screen);
  return out;
}

// Every opaque pixel of the frame is on the screen in its colour, and the
// given pixels, transparent in the frame, show no crosshair red.
bool ScreenShows(const Frame& frame, std::int32_t w, std::int32_t h,
                 const std::vector<TPickPoint>& cleared, std::string* why) {
  const Frame screen = ReadScreen(w, h);
  for (std::int32_t y = 0; y < h; ++y) {
    for (std::int32_t x = 0; x < w; ++x) {
      const std::uint32_t f = PixelAt(frame, w, x, y);
      if ((f >> 24) == 0xFF && (PixelAt(screen, w, x, y) & 0xFFFFFF) != (f & 0xFFFFFF)) {
        *why = "opaque pixel " + std::to_string(x) + "," + std::to_string(y) + " not on screen";
        return false;
      }
    }
  }
  for (const TPickPoint& p : cleared) {
    if ((PixelAt(frame, w, p.X, p.Y) >> 24) != 0xFF && (PixelAt(screen, w, p.X, p.Y) & 0xFFFFFF) == 0xFF0000) {
      *why = "stale crosshair at " + std::to_string(p.X) + "," + std::to_string(p.Y);
      return false;
    }
  }
  return true;
}

TEST(PickerFrames, EveryIncrementalFrameEqualsAFullRedrawAndIsWhatTheScreenShows) {
  std::unique_ptr<TFocusPickerForm> picker = TFocusPickerTestAccess::Create(nullptr);
  ASSERT_NE(picker->Wnd(), nullptr);
  const TPickRect area = picker->Area();
  const std::int32_t w = area.Right - area.Left, h = area.Bottom - area.Top;
  ASSERT_EQ(FirstDifference(picker->PushedFrame(), picker->FullRedrawFrame(), w), "");

  // Small steps, the label's width changing, the banner and the marker
  // covering it, the edges, the corners, and long jumps.
  const std::vector<TPickPoint> moves = {
      {w / 2 + 1, h / 2},  {w / 2 + 4, h / 2 + 3}, {9, 9},           {1234, 9},
      {w / 2, 30},         {w / 2 + 60, 24},       {w - 3, 500},     {600, h - 5},
      {w - 1, h - 1},      {w - 40, h - 40},       {w - 60, h - 28}, {0, 0},
      {w - 200, h / 2},    {w / 2 - 2, h / 2 + 1}, {0, h - 1},       {w - 1, 0}};
  TPickPoint previous = picker->Crosshair();
  for (const TPickPoint& m : moves) {
    ::SetCursorPos(area.Left + m.X, area.Top + m.Y);
    ASSERT_TRUE(qmtest::PumpUntil([&] { return picker->Crosshair() == m; }, 3000))
        << "crosshair did not follow to " << m.X << "," << m.Y;
    const Frame pushed = picker->PushedFrame();
    ASSERT_EQ(FirstDifference(pushed, picker->FullRedrawFrame(), w), "")
        << "after the move to " << m.X << "," << m.Y;
    EXPECT_EQ(PixelAt(pushed, w, m.X, m.Y) >> 24, 0xFFu) << "the crosshair's point is opaque";

    // The old crosshair's arm, where nothing else covers it, is gone from
    // the screen and the new frame is on it.
    std::vector<TPickPoint> cleared;
    for (std::int32_t d = -14; d < 14; ++d) {
      const TPickPoint p{previous.X + d, previous.Y};
      if (p.X >= 0 && p.X < w) cleared.push_back(p);
    }
    std::string why;
    EXPECT_TRUE(qmtest::PumpUntil([&] { return ScreenShows(pushed, w, h, cleared, &why); }, 2000))
        << why << " after the move to " << m.X << "," << m.Y;
    previous = m;
  }
  picker.reset();
  EXPECT_EQ(qmtest::FindOverlay(), nullptr);
}

}  // namespace
}  // namespace qm
