#include "picker/PickerGeometry.h"

#include <algorithm>
#include <cstring>

namespace qm {
namespace {

std::u16string Decimal(std::int32_t v) {
  std::string digits = std::to_string(v);
  return std::u16string(digits.begin(), digits.end());
}

TPickRect Inflate(const TPickRect& r, std::int32_t d) noexcept {
  return {r.Left - d, r.Top - d, r.Right + d, r.Bottom + d};
}

TTextBox MakeTextBox(const TPickRect& box, TPickPoint textAt, TTextSize text) noexcept {
  TPickRect cell{textAt.X, textAt.Y, textAt.X + text.Cx, textAt.Y + text.Cy};
  return {box, textAt, Bound(box, Inflate(cell, kTextInkMargin))};
}

std::int32_t Clamp(std::int64_t v, std::int32_t size) noexcept {
  if (v < 0) return 0;
  if (v >= size) return size - 1;
  return static_cast<std::int32_t>(v);
}

}  // namespace

TPickRect Intersect(const TPickRect& a, const TPickRect& b) noexcept {
  TPickRect r{std::max(a.Left, b.Left), std::max(a.Top, b.Top), std::min(a.Right, b.Right),
              std::min(a.Bottom, b.Bottom)};
  return r.Empty() ? TPickRect{} : r;
}

TPickRect Bound(const TPickRect& a, const TPickRect& b) noexcept {
  if (a.Empty()) return b.Empty() ? TPickRect{} : b;
  if (b.Empty()) return a;
  return {std::min(a.Left, b.Left), std::min(a.Top, b.Top), std::max(a.Right, b.Right),
          std::max(a.Bottom, b.Bottom)};
}

bool Overlaps(const TPickRect& a, const TPickRect& b) noexcept { return !Intersect(a, b).Empty(); }

std::u16string LabelText(std::int32_t screenX, std::int32_t screenY) {
  return u" 当前位置: X=" + Decimal(screenX) + u"  Y=" + Decimal(screenY) + u"  ";
}

TPickPoint ClampToOverlay(std::int64_t screenX, std::int64_t screenY, std::int32_t sx,
                          std::int32_t sy, std::int32_t fw, std::int32_t fh) noexcept {
  return {Clamp(screenX - sx, fw), Clamp(screenY - sy, fh)};
}

TCrossLayout LayoutCrosshair(std::int32_t mx, std::int32_t my, std::int32_t fw, std::int32_t fh,
                             TTextSize labelText) noexcept {
  TCrossLayout l;
  l.Mx = mx;
  l.My = my;
  l.HArm = {mx - 14, my, mx + 14, my + 1};
  l.VArm = {mx, my - 14, mx + 1, my + 14};
  l.Dot = {mx - 1, my - 1, mx + 2, my + 2};
  l.CrossInk = Bound(Bound(l.HArm, l.VArm), l.Dot);

  const std::int32_t w = labelText.Cx + 6;
  std::int32_t lx = mx + 20;
  if (lx + w > fw) lx = fw - w - 4;
  std::int32_t ly = my + 20;
  if (ly + 22 > fh) ly = my - 42;
  l.Label = MakeTextBox({lx, ly, lx + w, ly + 22}, {lx + 3, ly + 3}, labelText);
  return l;
}

TTextBox LayoutBanner(std::int32_t fw, TTextSize bannerText) noexcept {
  const std::int32_t w2 = bannerText.Cx;
  const std::int32_t bx = (fw - w2) / 2;
  return MakeTextBox({bx - 6, 20, bx + w2 + 6, 56}, {bx, 28}, bannerText);
}

TTextBox LayoutMarker(std::int32_t fw, std::int32_t fh, TTextSize markerText) noexcept {
  const std::int32_t w3 = markerText.Cx;
  const std::int32_t px = fw - w3 - 30;
  const std::int32_t py = fh - 50;
  return MakeTextBox({px - 4, py, px + w3 + 4, py + 24}, {px, py + 3}, markerText);
}

std::vector<TPickRect> MoveDirtyRects(const TCrossLayout& from, const TCrossLayout& to,
                                      std::int32_t fw, std::int32_t fh) {
  std::vector<TPickRect> rects;
  if (from == to) return rects;
  const TPickRect overlay{0, 0, fw, fh};
  for (const TPickRect& r : {from.CrossInk, from.Label.Ink, to.CrossInk, to.Label.Ink}) {
    TPickRect c = Intersect(r, overlay);
    if (!c.Empty()) rects.push_back(c);
  }
  // Overlapping areas become their bound, so no pixel is drawn twice.
  for (bool merged = true; merged;) {
    merged = false;
    for (std::size_t i = 0; i < rects.size() && !merged; ++i) {
      for (std::size_t j = i + 1; j < rects.size(); ++j) {
        if (Overlaps(rects[i], rects[j])) {
          rects[i] = Bound(rects[i], rects[j]);
          rects.erase(rects.begin() + static_cast<std::ptrdiff_t>(j));
          merged = true;
          break;
        }
      }
    }
  }
  return rects;
}

void ApplyAlphaRule(std::uint8_t* pixels, std::int32_t fw, std::int32_t fh, TPickRect r) noexcept {
  if (!pixels || fw <= 0 || fh <= 0) return;
  r = Intersect(r, {0, 0, fw, fh});
  const std::size_t stride = static_cast<std::size_t>(fw) * 4;
  for (std::int32_t y = r.Top; y < r.Bottom; ++y) {
    std::uint8_t* p = pixels + static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(r.Left) * 4;
    for (std::int32_t x = r.Left; x < r.Right; ++x, p += 4) {
      std::uint32_t v;  // little-endian BGRA: alpha is the top byte
      std::memcpy(&v, p, 4);
      v = (v & 0x00FFFFFFu) ? (v | 0xFF000000u) : std::uint32_t{kBackAlpha} << 24;
      std::memcpy(p, &v, 4);
    }
  }
}

}  // namespace qm
