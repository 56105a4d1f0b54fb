#pragma once
// The paste way: the text offered on the clipboard, the target brought to
// the front, the paste hot-key and Enter typed where its focus is. Main
// thread only.
#include <windows.h>

#include <string>

#include "input/DeliveryRules.h"
#include "input/KeyPlan.h"
#include "input/TargetWait.h"

namespace qm {

// The paste hot-key; nothing in the program changes it after start.
extern std::wstring PasteHotkey;

// The clipboard text is handed over when a reader first asks for it
// (delayed rendering), and for good once the delivery ends. False when the
// text is empty or another program holds the clipboard.
[[nodiscard]] bool SetClipboardText(const std::wstring& text);
// At exit: a text still on offer is handed to the system for good.
void HandOverClipboard();
// False when the system blocked the keys (see TypeKeys).
[[nodiscard]] bool SendPasteHotkey();

// Pastes text into the window in front (never ownWnd) and presses the ending
// key after it; no key goes out before written is done.
TDeliveryOutcome Paste(const std::wstring& text, TEnding ending, HWND ownWnd, const THelperCall& written);

}  // namespace qm
