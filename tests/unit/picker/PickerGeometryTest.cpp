#include "picker/PickerGeometry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <vector>

namespace qm {
namespace {

constexpr TTextSize kLabel{150, 15};  // a label text 150 pixels wide

TEST(PickerLabel, TextShowsTheScreenPointWithSignsAndNoPadding) {
  EXPECT_EQ(LabelText(-1200, 300), u" 当前位置: X=-1200  Y=300  ");
  EXPECT_EQ(LabelText(0, 7), u" 当前位置: X=0  Y=7  ");
}

TEST(PickerLabel, SitsBelowRightOfTheCrosshairAndMovesAwayFromRightAndBottomEdges) {
  const std::int32_t w = kLabel.Cx + 6;
  // Away from the edges: 20 pixels right of and below the crosshair.
  TCrossLayout l = LayoutCrosshair(960, 540, 1920, 1080, kLabel);
  EXPECT_EQ(l.Label.Box, (TPickRect{980, 560, 980 + w, 582}));
  EXPECT_EQ(l.Label.TextAt, (TPickPoint{983, 563}));

  // Ending exactly on the right edge is still allowed; one pixel more is not.
  l = LayoutCrosshair(1920 - 20 - w, 500, 1920, 1080, kLabel);
  EXPECT_EQ(l.Label.Box.Right, 1920);
  l = LayoutCrosshair(1920 - 20 - w + 1, 500, 1920, 1080, kLabel);
  EXPECT_EQ(l.Label.Box, (TPickRect{1920 - w - 4, 520, 1916, 542}));

  // Near the bottom the box goes above the crosshair.
  l = LayoutCrosshair(500, 1080 - 42, 1920, 1080, kLabel);
  EXPECT_EQ(l.Label.Box.Bottom, 1080);
  l = LayoutCrosshair(500, 1080 - 41, 1920, 1080, kLabel);
  EXPECT_EQ(l.Label.Box, (TPickRect{520, 1080 - 41 - 42, 520 + w, 1080 - 41 - 20}));

  // In the bottom-right corner both happen.
  l = LayoutCrosshair(1919, 1079, 1920, 1080, kLabel);
  EXPECT_EQ(l.Label.Box, (TPickRect{1916 - w, 1037, 1916, 1059}));
}

TEST(PickerCrosshair, ArmsAndDotMatchTheDrawingTable) {
  const TCrossLayout l = LayoutCrosshair(0, 0, 1920, 1080, kLabel);
  EXPECT_EQ(l.HArm, (TPickRect{-14, 0, 14, 1}));  // columns -14 to 13
  EXPECT_EQ(l.VArm, (TPickRect{0, -14, 1, 14}));
  EXPECT_EQ(l.Dot, (TPickRect{-1, -1, 2, 2}));
  EXPECT_EQ(l.CrossInk, (TPickRect{-14, -14, 14, 14}));
  EXPECT_EQ(l.Label.Box.Left, 20);
  EXPECT_EQ(l.Label.Box.Top, 20);
}

TEST(PickerClamp, CursorOutsideTheOverlayGoesToTheEdgePixel) {
  // A 3840-wide overlay whose left monitor starts at -1920.
  EXPECT_EQ(ClampToOverlay(-500, 300, -1920, 0, 3840, 1080), (TPickPoint{1420, 300}));
  EXPECT_EQ(ClampToOverlay(-1921, -1, -1920, 0, 3840, 1080), (TPickPoint{0, 0}));
  EXPECT_EQ(ClampToOverlay(1920, 1080, -1920, 0, 3840, 1080), (TPickPoint{3839, 1079}));
  EXPECT_EQ(ClampToOverlay(1919, 1079, -1920, 0, 3840, 1080), (TPickPoint{3839, 1079}));
  // Far out of range, without overflowing.
  constexpr std::int64_t big = std::numeric_limits<std::int32_t>::max();
  EXPECT_EQ(ClampToOverlay(big, -big - 1, -1920, std::numeric_limits<std::int32_t>::max(), 3840, 1080),
            (TPickPoint{3839, 0}));
}

TEST(PickerBanner, IsCentredOnTheWholeOverlayTruncatingTowardZero) {
  TTextBox b = LayoutBanner(3840, {401, 16});
  EXPECT_EQ(b.TextAt, (TPickPoint{1719, 28}));  // (3840 - 401) / 2 = 1719.5
  EXPECT_EQ(b.Box, (TPickRect{1713, 20, 1719 + 401 + 6, 56}));
  b = LayoutBanner(100, {301, 16});  // wider than the overlay: -100.5 becomes -100
  EXPECT_EQ(b.TextAt.X, -100);
}

TEST(PickerMarker, EndsTwentySixPixelsFromTheRightAndBottom) {
  const TTextBox m = LayoutMarker(1920, 1080, {30, 12});
  EXPECT_EQ(m.Box, (TPickRect{1920 - 30 - 30 - 4, 1030, 1920 - 26, 1054}));
  EXPECT_EQ(m.TextAt, (TPickPoint{1860, 1033}));
}

std::vector<std::uint8_t> Pixels(std::initializer_list<std::uint32_t> bgra) {
  std::vector<std::uint8_t> out;
  for (std::uint32_t v : bgra)
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  return out;
}

TEST(PickerAlpha, OpaqueWhereAColourIsNotBlackNearlyClearElseAndOnlyInsideTheRect) {
  // 3 x 2 pixels; stale alpha bytes must not survive. The background keeps
  // alpha 1, so clicks on it reach the overlay.
  std::vector<std::uint8_t> px = Pixels({0xFF000000, 0x00000001, 0x12000100,  //
                                         0x00010000, 0xFF000000, 0x00303030});
  ApplyAlphaRule(px.data(), 3, 2, {0, 0, 2, 2});
  EXPECT_EQ(px, Pixels({0x01000000, 0xFF000001, 0x12000100,  // column 2 untouched
                        0xFF010000, 0x01000000, 0x00303030}));
  // A rectangle reaching outside the surface is clipped to it.
  ApplyAlphaRule(px.data(), 3, 2, {-5, 1, 50, 9});
  EXPECT_EQ(px, Pixels({0x01000000, 0xFF000001, 0x12000100,  //
                        0xFF010000, 0x01000000, 0xFF303030}));
  ApplyAlphaRule(nullptr, 3, 2, {0, 0, 3, 2});  // nothing to do, nothing touched
}

TEST(PickerDirty, AreasAreClippedDisjointAndSmallForASmallMoveAndNoneForNoMove) {
  const TCrossLayout a = LayoutCrosshair(0, 0, 1920, 1080, kLabel);
  EXPECT_TRUE(MoveDirtyRects(a, a, 1920, 1080).empty());
  const TCrossLayout b = LayoutCrosshair(3, 2, 1920, 1080, kLabel);
  const std::vector<TPickRect> rects = MoveDirtyRects(a, b, 1920, 1080);
  ASSERT_FALSE(rects.empty());
  std::int64_t area = 0;
  for (std::size_t i = 0; i < rects.size(); ++i) {
    EXPECT_EQ(Intersect(rects[i], {0, 0, 1920, 1080}), rects[i]);
    for (std::size_t j = i + 1; j < rects.size(); ++j) EXPECT_FALSE(Overlaps(rects[i], rects[j]));
    area += std::int64_t{rects[i].Right - rects[i].Left} * (rects[i].Bottom - rects[i].Top);
  }
  EXPECT_LT(area, 1920 * 1080 / 100);
}

// A model of a frame: every element painted as its ink area in its own
// colour, in the drawing order. Pixels outside every dirty rectangle of a
// move must be the same before and after it.
void Paint(std::vector<int>& f, std::int32_t fw, std::int32_t fh, const TCrossLayout& c,
           const TTextBox& banner, const TTextBox& marker) {
  auto fill = [&](const TPickRect& r, int colour) {
    const TPickRect k = Intersect(r, {0, 0, fw, fh});
    for (std::int32_t y = k.Top; y < k.Bottom; ++y)
      for (std::int32_t x = k.Left; x < k.Right; ++x) f[y * fw + x] = colour;
  };
  fill({0, 0, fw, fh}, 0);
  fill(c.HArm, 1);
  fill(c.VArm, 1);
  fill(c.Dot, 1);
  fill(c.Label.Ink, 2 + c.Mx * 7 + c.My);  // the label's text depends on the point
  fill(banner.Ink, 3);
  fill(marker.Ink, 4);
}

TEST(PickerDirty, EveryChangedPixelOfRandomMovesLiesInADirtyRect) {
  constexpr std::int32_t fw = 320, fh = 200;
  const TTextBox banner = LayoutBanner(fw, {120, 16});
  const TTextBox marker = LayoutMarker(fw, fh, {20, 12});
  std::mt19937 rng(7);
  std::uniform_int_distribution<std::int32_t> xs(0, fw - 1), ys(0, fh - 1), step(-6, 6);
  std::vector<int> before(fw * fh), after(fw * fh);
  TCrossLayout from = LayoutCrosshair(fw / 2, fh / 2, fw, fh, {80, 15});
  for (int move = 0; move < 400; ++move) {
    // Small steps, jumps, and the edges and corners.
    std::int32_t x = move % 3 ? from.Mx + step(rng) : xs(rng);
    std::int32_t y = move % 3 ? from.My + step(rng) : ys(rng);
    if (move % 17 == 0) x = fw - 1;
    if (move % 19 == 0) y = fh - 1;
    if (move % 23 == 0) x = y = 0;
    const TPickPoint p = ClampToOverlay(x, y, 0, 0, fw, fh);
    const TCrossLayout to = LayoutCrosshair(p.X, p.Y, fw, fh, {60 + (p.X % 5) * 10, 15});
    Paint(before, fw, fh, from, banner, marker);
    Paint(after, fw, fh, to, banner, marker);
    const std::vector<TPickRect> rects = MoveDirtyRects(from, to, fw, fh);
    for (std::int32_t py = 0; py < fh; ++py) {
      for (std::int32_t px = 0; px < fw; ++px) {
        if (before[py * fw + px] == after[py * fw + px]) continue;
        bool covered = false;
        for (const TPickRect& r : rects)
          covered |= px >= r.Left && px < r.Right && py >= r.Top && py < r.Bottom;
        ASSERT_TRUE(covered) << "move " << move << " pixel " << px << "," << py;
      }
    }
    from = to;
  }
}

}  // namespace
}  // namespace qm
