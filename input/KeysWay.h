#pragma once
// The keys way: a text typed key by key into the window in front, as a
// keyboard-wedge scanner types it, for pages and programs that read typed
// keys and ignore pastes. Main thread only.
#include <windows.h>

#include <string>

#include "input/DeliveryRules.h"
#include "input/KeyPlan.h"
#include "input/TargetWait.h"

namespace qm {

// Types text and then the ending key into the window in front (never
// ownWnd), keyDelayMs between two characters (0: all in one block); no key
// goes out before written is done. Entered once the target has handled
// every key.
TDeliveryOutcome TypeText(const std::wstring& text, TEnding ending, DWORD keyDelayMs, HWND ownWnd,
                          const THelperCall& written);

}  // namespace qm
