#pragma once
// Delivery of one text into the application in front: direct entry into its
// focused text-input control, or the clipboard and the paste hot-key where
// the focus is. Main thread only.
#include <windows.h>

#include <string>
#include <string_view>

#include "input/DeliveryRules.h"

namespace qm {

// The paste hot-key; nothing in the program changes it after start.
extern std::wstring PasteHotkey;

// The program's main window (0 for none); never a target.
void SetOwnWindow(HWND wnd) noexcept;
HWND OwnWindow() noexcept;

// What became of one text.
struct TDeliveryOutcome {
  TNotEntered Reason = TNotEntered::kNone;
  // kElevated: the first time for this target process.
  bool FirstForProcess = false;
  bool Entered() const noexcept { return Reason == TNotEntered::kNone; }
};

// Delivers text: a trailing line break asks for Enter after it. A busy
// target is waited for, while this thread's messages are handled (no other
// delivery starts meanwhile), until it is done, hung, or 10 s have passed.
// barcode.txt beside the executable receives the text as given.
TDeliveryOutcome SendExternalText(const std::wstring& text);
void WriteBarcodeFile(const std::wstring& text);

// What one search shares between its steps; lives on the stack of one
// FindInputControl call.
struct TInputSearch {
  HWND ExcludeWnd = nullptr;  // never a candidate; 0 excludes none
  DWORD ExcludePid = 0;       // its windows are never candidates; 0 excludes none
  DWORD Deadline = 0;         // tick count after which no further window is looked at; 0 none
  HWND FoundWnd = nullptr;    // the control to set directly; 0: paste where the focus is
  HWND FrontWnd = nullptr;    // the window in front, the only one searched
};

bool IsInputClassName(std::wstring_view className) noexcept;
// The first control inside parent that the search may write (visible,
// enabled, not read-only, not a password field nor a drop-down list),
// refined to such a control inside it.
[[nodiscard]] bool FindInputChild(HWND parent, HWND& found);
bool IsCandidateWindow(HWND wnd, HWND excludedWnd, DWORD excludedPid);

// The window in front: the foreground window when it is visible and of
// another process, else the first candidate below the excluded window in
// z-order (from the top when it is 0). Inside it: the focused control when
// it takes text by the direct way; nothing when another of its controls has
// the focus (the keys must go there); the first field the search finds when
// none has. timeLimitMs 0 means no limit.
HWND FindInputControl(HWND excludedWnd, DWORD excludedPid, DWORD timeLimitMs);
void FindInputControl(TInputSearch& search);

// True for a control whose whole text must not be replaced (multi-line
// edits, rich edits).
bool IsMultiLineControl(HWND control);

enum class TDirectResult {
  kEntered,  // the text is set and, when asked, its Enter was handled
  kRefused,  // the control reported that it did not take the text
  kHung,     // the target stopped responding or did not finish in time
  kGone,     // the control went away
  kEnded,    // the program is exiting
};

// Sets the control's whole text and, when asked, posts Enter to it (key-down
// and key-up) and waits until the control's thread has handled them.
[[nodiscard]] TDirectResult SendTextToControl(HWND control, const std::wstring& text, bool pressEnter);

// The paste way's pieces. The clipboard text is handed over when a reader
// first asks for it (delayed rendering), and for good once the delivery ends.
// False when the text is empty or another program holds the clipboard.
[[nodiscard]] bool SetClipboardText(const std::wstring& text);
HWND PickTargetWindow(HWND ownWnd, DWORD ownPid);
// A window already in front is left as it is; a minimised one is restored;
// a maximised or snapped one keeps its state.
bool ForceForegroundWindow(HWND wnd);
void SendPasteHotkey();
// One press of the combination, as one block of input: modifiers the user
// holds are released around it and pressed again if still held.
void PressKeyCombo(bool ctrl, bool shift, bool alt, BYTE key);

// Benchmarks turn the waits for the target off to measure what they cost.
void SetWaitForTarget(bool wait) noexcept;

}  // namespace qm
