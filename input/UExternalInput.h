#pragma once
// Delivery of one text into the application in front: direct entry into its
// focused text-input control, the clipboard and the paste hot-key where the
// focus is, or typed key by key. Each step has a unit of its own: the search
// (InputSearch), the direct way (DirectWay), the paste way (PasteWay), the
// keys way (KeysWay), the synthesized keys (KeySynth) and the waits for the
// target (TargetWait). Main thread only.
#include <windows.h>

#include <string>

#include "input/DeliveryChoice.h"
#include "input/DeliveryRules.h"
#include "input/DirectWay.h"
#include "input/InputSearch.h"
#include "input/KeySynth.h"
#include "input/KeysWay.h"
#include "input/PasteWay.h"
#include "input/TargetWait.h"

namespace qm {

// The program's main window (0 for none); never a target. Setting it also
// readies the delivery's helper thread.
void SetOwnWindow(HWND wnd) noexcept;
HWND OwnWindow() noexcept;

// The ways and endings in force, by default and for single programs.
void SetDeliverySettings(TDeliverySettings settings);

// Delivers text: a trailing line break asks for the ending key after it. A busy
// target is waited for, while this thread's messages are handled (no other
// delivery starts meanwhile), until it is done, hung, or 10 s have passed.
// barcode.txt beside the executable receives the text as given.
TDeliveryOutcome SendExternalText(const std::wstring& text);
void WriteBarcodeFile(const std::wstring& text);

// At exit, before the process ends: a text still on offer on the clipboard
// is handed over, a marker key left down released.
void EndDelivery();

}  // namespace qm
