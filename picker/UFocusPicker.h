#pragma once
// The focus picker: a borderless, topmost, per-pixel-alpha overlay over the
// whole virtual screen with a red crosshair that follows the cursor. A left
// click picks the point of its press (the pick ends on the release, the
// mouse captured meanwhile), Esc cancels. It runs a message loop of its own
// on the main thread.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "picker/PickerGeometry.h"
#include "platform/SharedTypes.h"

namespace qm {

class TFocusPickerForm;
class TPickerSurface;

// Runs one pick and returns when it has ended: the overlay is gone, the
// cursor is shown again, and AOnPicked has been called with the point
// (screen coordinates) if and only if one was picked. While a picker is
// live, a further call is refused: it returns at once and calls nothing.
void PickFocusPoint(TOnFocusPicked AOnPicked);

// The live picker, or null. Only one can be live at a time.
TFocusPickerForm* ActivePicker() noexcept;

// The atom of the "FocusPickerOv3" class; 0 until a registration succeeds.
ATOM PickerClassAtom() noexcept;

// Forwards to the live picker, or to DefWindowProcW when none is live.
LRESULT CALLBACK PickerWndProc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);

class TFocusPickerForm {
 public:
  virtual ~TFocusPickerForm();
  TFocusPickerForm(const TFocusPickerForm&) = delete;
  TFocusPickerForm& operator=(const TFocusPickerForm&) = delete;

  // Read-only views for tests and the benchmark.
  HWND Wnd() const noexcept { return FWnd; }
  TPickPoint Crosshair() const noexcept { return {FMx, FMy}; }
  // The covered area in screen coordinates.
  TPickRect Area() const noexcept { return {FSX, FSY, FSX + FW, FSY + FH}; }
  // The frame as last pushed: FW x FH BGRA pixels, top row first.
  std::vector<std::uint8_t> PushedFrame() const;
  // The frame of the crosshair's present point drawn whole on a new surface.
  std::vector<std::uint8_t> FullRedrawFrame() const;

 private:
  friend void PickFocusPoint(TOnFocusPicked AOnPicked);
  friend LRESULT CALLBACK PickerWndProc(HWND, UINT, WPARAM, LPARAM);
  friend struct TFocusPickerTestAccess;  // defined by the tests and the benchmark

  // Throws std::logic_error while another picker is live.
  explicit TFocusPickerForm(TOnFocusPicked AOnPicked);
  void Construct();
  bool Run();
  void Cleanup();
  void TrackCursor();
  void Render();
  LRESULT HandleMessage(HWND wnd, UINT msg, WPARAM wp, LPARAM lp);
  void EndPick(bool picked);

  // Redraws on the surface what differs from the last pushed frame and
  // returns those areas (the whole overlay for the first frame).
  std::vector<TPickRect> DrawChanges();
  // Pushes the areas drawn: a whole overlay with UpdateLayeredWindow, a part
  // with UpdateLayeredWindowIndirect and their bound as the dirty rectangle.
  void PushFrame(const std::vector<TPickRect>& dirty);

  // Tests and the benchmark: the overlay covers this screen rectangle
  // instead of the virtual screen while set (null: the virtual screen).
  static void OverrideArea(const TPickRect* area) noexcept;

  HWND FWnd = nullptr;
  std::unique_ptr<TPickerSurface> FBitmap;  // the one section, for the picker's lifetime
  std::uint8_t* FPixels = nullptr;          // its bits: the pushed frame, alpha set
  std::int32_t FStride = 0;
  std::int32_t FW = 0;
  std::int32_t FH = 0;
  std::int32_t FSX = 0;
  std::int32_t FSY = 0;
  std::int32_t FMx = 0;
  std::int32_t FMy = 0;
  TOnFocusPicked FOnPicked;
  bool FActive = false;
  bool FPicked = false;
  std::int32_t FPickX = 0;
  std::int32_t FPickY = 0;
  bool FCleanedUp = false;
  bool FPressed = false;  // the button is down on the overlay: the pick ends on its release

  bool FCursorHidden = false;  // the display counter is ours to restore
  bool FFrameShown = false;    // a frame was pushed; FDrawn is its crosshair
  TCrossLayout FDrawn;
  TTextBox FBanner;
  TTextBox FMarker;
  bool FFullRedraw = false;  // every frame drawn and pushed whole (benchmark baseline)
  bool FPushWhole = false;   // the system refused a dirty push once
};

}  // namespace qm
