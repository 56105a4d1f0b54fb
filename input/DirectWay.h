#pragma once
// The direct way: the control's whole text set with WM_SETTEXT, then the
// ending key (Enter or Tab) posted to it as a typed key arrives. Main thread
// only.
#include <windows.h>

#include <string>

#include "input/KeyPlan.h"
#include "input/TargetWait.h"

namespace qm {

enum class TDirectResult {
  kEntered,  // the text is set and its ending key, if any, was handled
  kRefused,  // the control reported that it did not take the text
  kNotEdit,  // not an edit field, whatever its class name: nothing was sent
  kHung,     // the target stopped responding or did not finish in time
  kGone,     // the control went away
  kEnded,    // the program is exiting
};

// Sets the control's whole text and posts the ending key to it (key-down
// and key-up) and waits until the control's thread has handled them. The
// text is sent once, from helper (after what was given it before), and
// waited for to the bound: a send given up may still be running.
[[nodiscard]] TDirectResult SendTextToControl(HWND control, const std::wstring& text, TEnding ending,
                                              THelper& helper);
[[nodiscard]] TDirectResult SendTextToControl(HWND control, const std::wstring& text, TEnding ending);

}  // namespace qm
