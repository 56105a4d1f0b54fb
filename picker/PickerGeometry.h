#pragma once
// The focus picker's drawing rules as pure functions: where each element of a
// frame goes, which pixels a crosshair move can change, and which pixels are
// opaque. Coordinates are overlay pixels, (0, 0) at the virtual screen's
// top-left; rectangles exclude their right and bottom edges.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qm {

struct TPickPoint {
  std::int32_t X = 0;
  std::int32_t Y = 0;
  friend bool operator==(const TPickPoint&, const TPickPoint&) = default;
};

struct TPickRect {
  std::int32_t Left = 0;
  std::int32_t Top = 0;
  std::int32_t Right = 0;
  std::int32_t Bottom = 0;
  bool Empty() const noexcept { return Right <= Left || Bottom <= Top; }
  friend bool operator==(const TPickRect&, const TPickRect&) = default;
};

struct TTextSize {
  std::int32_t Cx = 0;
  std::int32_t Cy = 0;
};

// Empty when the two do not overlap.
TPickRect Intersect(const TPickRect& a, const TPickRect& b) noexcept;
// The smallest rectangle holding both; an empty one adds nothing.
TPickRect Bound(const TPickRect& a, const TPickRect& b) noexcept;
bool Overlaps(const TPickRect& a, const TPickRect& b) noexcept;

inline constexpr std::u16string_view kBannerText = u"  请点击屏幕选择焦点位置  |  按 ESC 取消  ";
inline constexpr std::u16string_view kMarkerText = u"  +  ";
inline constexpr std::u16string_view kFontFace = u"宋体";
inline constexpr int kLabelPoints = 11;
inline constexpr int kBannerPoints = 12;
inline constexpr int kMarkerPoints = 9;

// Colours as 0x00BBGGRR.
inline constexpr std::uint32_t kBackColour = 0x00000000;
inline constexpr std::uint32_t kCrossColour = 0x000000FF;
inline constexpr std::uint32_t kTextColour = 0x00FFFFFF;
inline constexpr std::uint32_t kLabelColour = 0x00303030;
inline constexpr std::uint32_t kBannerColour = 0x00505050;
inline constexpr std::uint32_t kMarkerColour = 0x00303030;

// The background's alpha: invisible, yet not 0, since the system passes
// clicks on pixels of alpha 0 through to the window beneath.
inline constexpr std::uint8_t kBackAlpha = 1;

// Glyphs may paint a little outside their text cell (overhang, smoothing);
// every area that text can touch is taken this much larger.
inline constexpr std::int32_t kTextInkMargin = 8;

// " 当前位置: X=<x>  Y=<y>  " for the crosshair's screen point.
std::u16string LabelText(std::int32_t screenX, std::int32_t screenY);

// The overlay pixel for a cursor at a screen point, each coordinate clamped
// to the overlay's edge pixel on its side. The overlay must not be empty.
TPickPoint ClampToOverlay(std::int64_t screenX, std::int64_t screenY, std::int32_t sx,
                          std::int32_t sy, std::int32_t fw, std::int32_t fh) noexcept;

// A filled box with one line of text in it. Ink is everything drawing it
// can touch: the box, and the text cell with kTextInkMargin around it.
struct TTextBox {
  TPickRect Box;
  TPickPoint TextAt;
  TPickRect Ink;
  friend bool operator==(const TTextBox&, const TTextBox&) = default;
};

// The elements that follow the crosshair at (Mx, My).
struct TCrossLayout {
  std::int32_t Mx = 0;
  std::int32_t My = 0;
  TPickRect HArm;
  TPickRect VArm;
  TPickRect Dot;
  TPickRect CrossInk;  // arms and dot together
  TTextBox Label;
  friend bool operator==(const TCrossLayout&, const TCrossLayout&) = default;
};

// labelText is the size of LabelText(...) in the label's font.
TCrossLayout LayoutCrosshair(std::int32_t mx, std::int32_t my, std::int32_t fw, std::int32_t fh,
                             TTextSize labelText) noexcept;
TTextBox LayoutBanner(std::int32_t fw, TTextSize bannerText) noexcept;
TTextBox LayoutMarker(std::int32_t fw, std::int32_t fh, TTextSize markerText) noexcept;

// Where the frames of two crosshair layouts can differ: a few rectangles,
// clipped to the fw x fh overlay and not overlapping one another. Nothing
// when the layouts are the same.
std::vector<TPickRect> MoveDirtyRects(const TCrossLayout& from, const TCrossLayout& to,
                                      std::int32_t fw, std::int32_t fh);

// Alpha 255 for every pixel of r whose blue, green and red are not all 0,
// kBackAlpha for the others; pixels is fw x fh BGRA, rows without gaps. r is
// clipped to the surface first.
void ApplyAlphaRule(std::uint8_t* pixels, std::int32_t fw, std::int32_t fh, TPickRect r) noexcept;

}  // namespace qm
