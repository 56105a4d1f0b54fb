#pragma once
// Delivery of one text into the application in front: direct entry into its
// text-input control, or the clipboard and the paste hot-key. Main thread only.
#include <windows.h>

#include <string>
#include <string_view>

namespace qm {

// The paste hot-key; nothing in the program changes it after start.
extern std::wstring PasteHotkey;

// The program's main window (0 for none); never a target.
void SetOwnWindow(HWND wnd) noexcept;
HWND OwnWindow() noexcept;

// Delivers text: a trailing line break asks for Enter after it. Reports
// nothing; barcode.txt beside the executable receives the text as given.
void SendExternalText(const std::wstring& text);
void WriteBarcodeFile(const std::wstring& text);

// What one search shares between its steps; lives on the stack of one
// FindInputControl call.
struct TInputSearch {
  HWND ExcludeWnd = nullptr;  // never a candidate; 0 excludes none
  DWORD ExcludePid = 0;       // its windows are never candidates; 0 excludes none
  DWORD Deadline = 0;         // tick count after which no further window is looked at; 0 none
  HWND FoundWnd = nullptr;    // the input control found
  HWND FrontWnd = nullptr;    // the window in front, the only one searched
};

bool IsInputClassName(std::wstring_view className) noexcept;
[[nodiscard]] bool FindInputChild(HWND parent, HWND& found);
bool IsCandidateWindow(HWND wnd, HWND excludedWnd, DWORD excludedPid);

// The window in front: the foreground window when it is visible and of
// another process, else the first candidate below the excluded window in
// z-order (from the top when it is 0). Then, inside that window only, its
// focused control when that is a visible input control, else the first one
// the depth-first search finds. timeLimitMs 0 means no limit.
HWND FindInputControl(HWND excludedWnd, DWORD excludedPid, DWORD timeLimitMs);
void FindInputControl(TInputSearch& search);

// True for a control whose whole text must not be replaced (multi-line
// edits, rich edits).
bool IsMultiLineControl(HWND control);

// Sets the control's whole text and, when asked, posts an Enter key-down and
// waits until the control's thread has handled it and its WM_CHAR: certainly
// for a control whose text limit can be read and set (edits), by round trips
// for others. Every wait together is bounded by about a second; false when
// the control did not answer in time.
[[nodiscard]] bool SendTextToControl(HWND control, const std::wstring& text, bool pressEnter);

// The paste way's pieces. The clipboard text is handed over when a reader
// first asks for it (delayed rendering), and for good once the delivery ends.
[[nodiscard]] bool SetClipboardText(const std::wstring& text);
HWND PickTargetWindow(HWND ownWnd, DWORD ownPid);
bool ForceForegroundWindow(HWND wnd);
void SendPasteHotkey();
void PressKeyCombo(bool ctrl, bool shift, bool alt, BYTE key);

// Benchmarks turn the waits for the target off to measure what they cost.
void SetWaitForTarget(bool wait) noexcept;

}  // namespace qm
