#pragma once
// The search for the window the user works in and, inside it, the control
// that takes a barcode by the direct way; and the facts of windows that
// every step of a delivery reads. Main thread only.
#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "input/DeliveryRules.h"

namespace qm {

// What one search shares between its steps; lives on the stack of one
// FindInputControl call.
struct TInputSearch {
  HWND ExcludeWnd = nullptr;  // never a candidate; 0 excludes none
  DWORD ExcludePid = 0;       // its windows are never candidates; 0 excludes none
  DWORD Deadline = 0;         // tick count after which no further window is looked at; 0 none
  HWND FoundWnd = nullptr;    // the control to set directly; 0: paste where the focus is
  HWND FrontWnd = nullptr;    // the window in front, the only one searched
  DWORD FrontPid = 0;         // its process, when read on the way
  bool NoTextFocus = false;   // the focus is on a control that takes no text: no key may go there
};

// A search from the window in front that never returns the program's own.
TInputSearch SearchFrom(HWND excludedWnd, DWORD excludedPid, DWORD timeLimitMs);

bool IsInputClassName(std::wstring_view className) noexcept;
// The first control inside parent that the search may write (visible,
// enabled, not read-only, not a password field nor a drop-down list),
// refined to such a control inside it.
[[nodiscard]] bool FindInputChild(HWND parent, HWND& found);
// Not the excluded window nor one of the excluded process; visible, not a
// tool or no-activate window, not cloaked by the desktop window manager.
bool IsCandidateWindow(HWND wnd, HWND excludedWnd, DWORD excludedPid);

// What the desktop window manager says of a window, through a table that
// tests swap: Wine cloaks no window.
struct TDwmFunctions {
  HRESULT(WINAPI* GetWindowAttribute)(HWND wnd, DWORD attribute, PVOID value, DWORD size);
};
TDwmFunctions& DwmFunctions() noexcept;

// The window in front: the foreground window when it is visible and of
// another process, else the first candidate below the excluded window in
// z-order (from the top when it is 0). Inside it: the focused control when
// it takes text by the direct way; nothing when another of its controls has
// the focus (the keys must go there, unless it takes no text at all); the
// first field the search finds when none has. timeLimitMs 0 means no limit.
HWND FindInputControl(HWND excludedWnd, DWORD excludedPid, DWORD timeLimitMs);
void FindInputControl(TInputSearch& search);

// The window that gets the paste: the window in front, as the search finds it.
HWND PickTargetWindow(HWND ownWnd, DWORD ownPid);

// True for a control whose whole text must not be replaced (multi-line
// edits, rich edits).
bool IsMultiLineControl(HWND control);
// What the delivery reads of a control. A toolkit's own button is often the
// system's underneath (a superclass): its real class then says it takes no
// text.
TControlFacts ControlFactsOf(HWND wnd);

std::wstring ClassNameOf(HWND wnd);
DWORD ProcessOf(HWND wnd);
// The top-level window that holds wnd (wnd itself when it is one).
HWND RootOf(HWND wnd);
std::optional<GUITHREADINFO> GuiThreadInfo(DWORD thread);

}  // namespace qm
