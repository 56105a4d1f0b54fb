#include "picker/UFocusPicker.h"

#include <windowsx.h>

#include <limits>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "platform/ErrorReport.h"
#include "platform/InputSynth.h"
#include "platform/ScopeExit.h"
#include "platform/UniqueHandle.h"
#include "platform/WideText.h"

namespace qm {
namespace {

constexpr wchar_t kClassName[] = L"FocusPickerOv3";
constexpr DWORD kExStyle = WS_EX_LAYERED | WS_EX_TOOLWINDOW | WS_EX_TOPMOST;
constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTimerMs = 30;

TFocusPickerForm* g_active = nullptr;
ATOM g_classAtom = 0;
std::optional<TPickRect> g_areaOverride;

enum TFontId { kLabelFont, kBannerFont, kMarkerFont, kFontCount };

// What one frame shows.
struct TFrameContent {
  const TCrossLayout& Cross;
  std::wstring_view Label;
  const TTextBox& Banner;
  const TTextBox& Marker;
};

const std::wstring& BannerText() {
  static const std::wstring text = ToWide(kBannerText);
  return text;
}

const std::wstring& MarkerText() {
  static const std::wstring text = ToWide(kMarkerText);
  return text;
}

void RegisterPickerClass() {
  if (g_classAtom) return;
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof(wc);
  wc.style = CS_DBLCLKS;
  wc.lpfnWndProc = &PickerWndProc;
  wc.hInstance = ::GetModuleHandleW(nullptr);
  wc.hCursor = ::LoadCursorW(nullptr, IDC_CROSS);
  wc.hbrBackground = static_cast<HBRUSH>(::GetStockObject(NULL_BRUSH));
  wc.lpszClassName = kClassName;
  g_classAtom = ::RegisterClassExW(&wc);  // 0 on failure: the next picker tries again
}

}  // namespace

// The drawing surface: one top-down 32-bit section in a memory context, with
// the fonts and brushes of the drawing table.
class TPickerSurface {
 public:
  TPickerSurface(std::int32_t w, std::int32_t h) : FW(w), FH(h) {
    HDC screen = ::GetDC(nullptr);
    ScopeExit release([&] { ::ReleaseDC(nullptr, screen); });
    FDc.reset(::CreateCompatibleDC(screen));
    if (!FDc) throw std::bad_alloc();
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = -h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 32;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    FSection.reset(::CreateDIBSection(FDc.get(), &bi, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!FSection || !bits) throw std::bad_alloc();
    FBits = static_cast<std::uint8_t*>(bits);
    FOldBitmap = ::SelectObject(FDc.get(), FSection.get());

    const int dpi = screen ? ::GetDeviceCaps(screen, LOGPIXELSY) : 96;
    const int points[kFontCount] = {kLabelPoints, kBannerPoints, kMarkerPoints};
    const std::wstring face = ToWide(kFontFace);
    for (int i = 0; i < kFontCount; ++i) {
      // GB2312_CHARSET: with DEFAULT_CHARSET Wine maps the face to a font without Chinese glyphs.
      FFonts[i].reset(::CreateFontW(-::MulDiv(points[i], dpi, 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                                    FALSE, GB2312_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                    DEFAULT_QUALITY, DEFAULT_PITCH, face.c_str()));
      if (!FFonts[i]) throw std::bad_alloc();
    }
    FOldFont = ::SelectObject(FDc.get(), FFonts[kLabelFont].get());
    for (std::uint32_t c : {kBackColour, kCrossColour, kLabelColour, kBannerColour, kMarkerColour}) {
      FBrushes.emplace_back(::CreateSolidBrush(c));
      if (!FBrushes.back()) throw std::bad_alloc();
    }
    ::SetBkMode(FDc.get(), OPAQUE);
    ::SetTextColor(FDc.get(), kTextColour);
    ::SetTextAlign(FDc.get(), TA_LEFT | TA_TOP | TA_NOUPDATECP);
  }

  ~TPickerSurface() {
    // Selected objects cannot be deleted: give the context its own back.
    if (FOldFont) ::SelectObject(FDc.get(), FOldFont);
    if (FOldBitmap) ::SelectObject(FDc.get(), FOldBitmap);
  }

  TPickerSurface(const TPickerSurface&) = delete;
  TPickerSurface& operator=(const TPickerSurface&) = delete;

  HDC Dc() const noexcept { return FDc.get(); }
  std::uint8_t* Bits() const noexcept { return FBits; }
  std::size_t Bytes() const noexcept { return static_cast<std::size_t>(FW) * 4 * FH; }

  TTextSize Measure(TFontId font, std::wstring_view text) const {
    ::SelectObject(FDc.get(), FFonts[font].get());
    SIZE size{};
    if (!::GetTextExtentPoint32W(FDc.get(), text.data(), static_cast<int>(text.size()), &size))
      return {};
    return {size.cx, size.cy};
  }

  // Draws every element of the frame that falls into r, clipped to r, in the
  // table's order, then sets alpha there.
  void Draw(const TFrameContent& f, TPickRect r) {
    r = Intersect(r, {0, 0, FW, FH});
    if (r.Empty()) return;
    HDC dc = FDc.get();
    ::SelectClipRgn(dc, nullptr);
    ::IntersectClipRect(dc, r.Left, r.Top, r.Right, r.Bottom);
    Fill(r, kBackBrush);
    if (Overlaps(r, f.Cross.CrossInk)) {
      Fill(f.Cross.HArm, kCrossBrush);
      Fill(f.Cross.VArm, kCrossBrush);
      Fill(f.Cross.Dot, kCrossBrush);
    }
    Text(r, f.Cross.Label, kLabelFont, f.Label, kLabelBrush, kLabelColour);
    Text(r, f.Banner, kBannerFont, BannerText(), kBannerBrush, kBannerColour);
    Text(r, f.Marker, kMarkerFont, MarkerText(), kMarkerBrush, kMarkerColour);
    ::SelectClipRgn(dc, nullptr);
    ::GdiFlush();  // GDI may batch: its drawing must be in the bits before they are read
    ApplyAlphaRule(FBits, FW, FH, r);
  }

 private:
  enum TBrushId { kBackBrush, kCrossBrush, kLabelBrush, kBannerBrush, kMarkerBrush };

  void Fill(const TPickRect& r, TBrushId brush) {
    RECT rc{r.Left, r.Top, r.Right, r.Bottom};
    ::FillRect(FDc.get(), &rc, FBrushes[brush].get());
  }

  void Text(const TPickRect& clip, const TTextBox& box, TFontId font, std::wstring_view text,
            TBrushId brush, std::uint32_t colour) {
    if (!Overlaps(clip, box.Ink)) return;
    Fill(box.Box, brush);
    ::SelectObject(FDc.get(), FFonts[font].get());
    ::SetBkColor(FDc.get(), colour);
    ::ExtTextOutW(FDc.get(), box.TextAt.X, box.TextAt.Y, 0, nullptr, text.data(),
                  static_cast<UINT>(text.size()), nullptr);
  }

  std::int32_t FW;
  std::int32_t FH;
  UniqueHdc FDc;  // declared first: deleted after everything selected into it
  UniqueHbitmap FSection;
  UniqueHfont FFonts[kFontCount];
  std::vector<UniqueHbrush> FBrushes;
  HGDIOBJ FOldBitmap = nullptr;
  HGDIOBJ FOldFont = nullptr;
  std::uint8_t* FBits = nullptr;
};

TFocusPickerForm* ActivePicker() noexcept { return g_active; }

ATOM PickerClassAtom() noexcept { return g_classAtom; }

LRESULT CALLBACK PickerWndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  TFocusPickerForm* picker = g_active;
  if (!picker) return ::DefWindowProcW(wnd, msg, wp, lp);
  try {
    return picker->HandleMessage(wnd, msg, wp, lp);
  } catch (...) {
    ReportCurrentException();
    return 0;
  }
}

void PickFocusPoint(TOnFocusPicked AOnPicked) {
  if (g_active) return;  // one pick at a time: a second request is refused
  std::unique_ptr<TFocusPickerForm> picker(new TFocusPickerForm(std::move(AOnPicked)));
  picker->Run();
}

TFocusPickerForm::TFocusPickerForm(TOnFocusPicked AOnPicked) : FOnPicked(std::move(AOnPicked)) {
  if (g_active) throw std::logic_error("a focus picker is already live");
  g_active = this;
  try {
    Construct();
  } catch (...) {
    g_active = nullptr;
    Cleanup();
    throw;
  }
}

TFocusPickerForm::~TFocusPickerForm() {
  if (g_active == this) g_active = nullptr;
  Cleanup();
  FBitmap.reset();
}

void TFocusPickerForm::OverrideArea(const TPickRect* area) noexcept {
  if (area) {
    g_areaOverride = *area;
  } else {
    g_areaOverride.reset();
  }
}

void TFocusPickerForm::Construct() {
  FActive = true;
  FPicked = false;
  if (g_areaOverride) {
    FSX = g_areaOverride->Left;
    FSY = g_areaOverride->Top;
    FW = g_areaOverride->Right - g_areaOverride->Left;
    FH = g_areaOverride->Bottom - g_areaOverride->Top;
  } else {
    FSX = ::GetSystemMetrics(SM_XVIRTUALSCREEN);
    FSY = ::GetSystemMetrics(SM_YVIRTUALSCREEN);
    FW = ::GetSystemMetrics(SM_CXVIRTUALSCREEN);
    FH = ::GetSystemMetrics(SM_CYVIRTUALSCREEN);
  }
  if (FW <= 0 || FH <= 0) {
    FActive = false;  // nothing to cover: the pick ends at once as a cancel
    return;
  }
  FMx = FW / 2;
  FMy = FH / 2;
  if (FW > std::numeric_limits<std::int32_t>::max() / 4 ||
      static_cast<std::uint64_t>(FW) * 4 * static_cast<std::uint64_t>(FH) >
          static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
    throw std::bad_alloc();
  FStride = FW * 4;
  FBitmap = std::make_unique<TPickerSurface>(FW, FH);
  FPixels = FBitmap->Bits();
  FBanner = LayoutBanner(FW, FBitmap->Measure(kBannerFont, BannerText()));
  FMarker = LayoutMarker(FW, FH, FBitmap->Measure(kMarkerFont, MarkerText()));

  RegisterPickerClass();
  FWnd = ::CreateWindowExW(kExStyle, kClassName, L"", WS_POPUP, FSX, FSY, FW, FH, nullptr, nullptr,
                           ::GetModuleHandleW(nullptr), nullptr);
  if (!FWnd) {
    FActive = false;  // nothing could end the loop: the pick ends at once as a cancel
    return;
  }
  ::SetTimer(FWnd, kTimerId, kTimerMs, nullptr);
  Render();
  // The cursor is on the crosshair before anything shows: a move made once
  // the overlay is visible is never undone.
  InputFunctions().SetCursorPos(FSX + FMx, FSY + FMy);
  ::ShowWindow(FWnd, SW_SHOW);
  ::ShowCursor(FALSE);
  FCursorHidden = true;
}

bool TFocusPickerForm::Run() {
  MSG msg;
  while (FActive) {
    const BOOL got = ::GetMessageW(&msg, nullptr, 0, 0);
    if (got == 0 || got == -1) break;  // WM_QUIT is consumed: the pick ends as a cancel
    ::TranslateMessage(&msg);
    ::DispatchMessageW(&msg);
  }
  Cleanup();
  if (FPicked && FOnPicked) FOnPicked(FPickX, FPickY);
  return FPicked;
}

void TFocusPickerForm::Cleanup() {
  if (FCleanedUp) return;
  FCleanedUp = true;
  if (FWnd) {
    HWND wnd = std::exchange(FWnd, nullptr);  // cleared first: this WM_DESTROY is ours
    ::KillTimer(wnd, kTimerId);
    ::DestroyWindow(wnd);
  }
  if (FCursorHidden) {
    FCursorHidden = false;
    ::ShowCursor(TRUE);
  }
}

void TFocusPickerForm::TrackCursor() {
  POINT pos{};
  if (!InputFunctions().GetCursorPos(&pos)) return;  // unreadable: the crosshair stays
  const TPickPoint p = ClampToOverlay(pos.x, pos.y, FSX, FSY, FW, FH);
  if (p.X == FMx && p.Y == FMy) return;
  FMx = p.X;
  FMy = p.Y;
  Render();
}

void TFocusPickerForm::Render() { PushFrame(DrawChanges()); }

std::vector<TPickRect> TFocusPickerForm::DrawChanges() {
  const std::wstring label = ToWide(LabelText(FMx + FSX, FMy + FSY));
  const TCrossLayout now = LayoutCrosshair(FMx, FMy, FW, FH, FBitmap->Measure(kLabelFont, label));
  std::vector<TPickRect> dirty;
  if (!FFrameShown || FFullRedraw) {
    dirty.push_back({0, 0, FW, FH});
  } else {
    dirty = MoveDirtyRects(FDrawn, now, FW, FH);
  }
  const TFrameContent content{now, label, FBanner, FMarker};
  for (const TPickRect& r : dirty) FBitmap->Draw(content, r);
  FDrawn = now;
  return dirty;
}

void TFocusPickerForm::PushFrame(const std::vector<TPickRect>& dirty) {
  if (dirty.empty() || !FWnd) return;
  TPickRect area;
  for (const TPickRect& r : dirty) area = Bound(area, r);
  POINT source{0, 0};
  SIZE size{FW, FH};
  BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  if (!FPushWhole && area != TPickRect{0, 0, FW, FH}) {
    RECT rc{area.Left, area.Top, area.Right, area.Bottom};
    UPDATELAYEREDWINDOWINFO info{};
    info.cbSize = sizeof(info);
    info.psize = &size;
    info.hdcSrc = FBitmap->Dc();
    info.pptSrc = &source;
    info.pblend = &blend;
    info.dwFlags = ULW_ALPHA;
    info.prcDirty = &rc;
    if (::UpdateLayeredWindowIndirect(FWnd, &info)) {
      FFrameShown = true;
      return;
    }
    FPushWhole = true;  // the system refused a part: the surface holds the whole frame
  }
  // A refused whole frame leaves the next frame to be drawn and pushed whole.
  FFrameShown = ::UpdateLayeredWindow(FWnd, nullptr, nullptr, &size, FBitmap->Dc(), &source, 0,
                                      &blend, ULW_ALPHA) != FALSE;
}

void TFocusPickerForm::EndPick(bool picked) {
  FActive = false;
  FPicked = picked;
  if (std::exchange(FPressed, false)) ::ReleaseCapture();
}

LRESULT TFocusPickerForm::HandleMessage(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
    case WM_DESTROY:
      if (wnd == FWnd) {
        // Destroyed by someone else (a close request): the pick ends as a cancel.
        FWnd = nullptr;
        if (FActive) {
          FActive = false;
          FPicked = false;
        }
        ::PostMessageW(nullptr, WM_NULL, 0, 0);  // wakes GetMessageW if a sent message did this
      }
      return 0;
    case WM_KEYDOWN:
      if (wp == VK_ESCAPE) EndPick(false);
      return 0;
    case WM_TIMER:
      if (wp == kTimerId) TrackCursor();
      return 0;
    case WM_LBUTTONDOWN: {
      // Where the click was made, which may be ahead of the crosshair's
      // last tick: the user aimed the mouse, not the drawing.
      const TPickPoint p = ClampToOverlay(std::int64_t{FSX} + GET_X_LPARAM(lp), std::int64_t{FSY} + GET_Y_LPARAM(lp),
                                          FSX, FSY, FW, FH);
      FPickX = p.X + FSX;
      FPickY = p.Y + FSY;
      // The pick ends on the release, with the mouse captured from the
      // press: ended now, the overlay would be gone and the release would
      // reach the program beneath.
      FPressed = true;
      ::SetCapture(wnd);
      return 0;
    }
    case WM_LBUTTONUP:
      if (FPressed) EndPick(true);
      return 0;
    case WM_CAPTURECHANGED:
      // Taken before the release (another window's capture, a desktop
      // switch): the press made the choice.
      if (FPressed) EndPick(true);
      return 0;
    default:
      return ::DefWindowProcW(wnd, msg, wp, lp);
  }
}

std::vector<std::uint8_t> TFocusPickerForm::PushedFrame() const {
  if (!FBitmap) return {};
  ::GdiFlush();
  return std::vector<std::uint8_t>(FPixels, FPixels + FBitmap->Bytes());
}

std::vector<std::uint8_t> TFocusPickerForm::FullRedrawFrame() const {
  if (!FBitmap) return {};
  TPickerSurface fresh(FW, FH);
  const std::wstring label = ToWide(LabelText(FMx + FSX, FMy + FSY));
  const TCrossLayout cross = LayoutCrosshair(FMx, FMy, FW, FH, fresh.Measure(kLabelFont, label));
  const TTextBox banner = LayoutBanner(FW, fresh.Measure(kBannerFont, BannerText()));
  const TTextBox marker = LayoutMarker(FW, FH, fresh.Measure(kMarkerFont, MarkerText()));
  fresh.Draw({cross, label, banner, marker}, {0, 0, FW, FH});
  return std::vector<std::uint8_t>(fresh.Bits(), fresh.Bits() + fresh.Bytes());
}

}  // namespace qm
