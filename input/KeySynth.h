#pragma once
// Synthesized keys, for every way that types: blocks of key events that
// nothing the user types can split, the modifiers the user holds let go
// around them, and the target brought to the front where such keys land.
// Main thread only.
#include <windows.h>

#include <vector>

#include "input/PasteHotkey.h"

namespace qm {

// Marks our own synthesized keys, so that a hook can tell them apart.
inline constexpr ULONG_PTR kOwnInputTag = 0x514D4B59;

// The keyboard layout of the window in front, whose scan codes the keys carry.
HKL ForegroundLayout();

// One block of key events, each with its key's scan code on layout. False
// when the system let fewer in than were sent (input is blocked: a secure
// desktop, a locked session, a window of higher integrity in front); the
// keys that went down are then released.
[[nodiscard]] bool SendKeys(const std::vector<TKeyEvent>& keys, HKL layout);

// Keys typed into the window in front as one block: modifiers the user
// holds are released around it and pressed again if still held. False when
// the system blocked them, as SendKeys.
[[nodiscard]] bool TypeKeys(const std::vector<TKeyEvent>& keys);

// One press of the combination, typed as TypeKeys types.
[[nodiscard]] bool PressKeyCombo(bool ctrl, bool shift, bool alt, BYTE key);

// A window already in front is left as it is; a minimised one is restored;
// a maximised or snapped one keeps its state.
bool ForceForegroundWindow(HWND wnd);

}  // namespace qm
