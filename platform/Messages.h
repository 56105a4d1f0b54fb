#pragma once
// The program's own window messages, all in one place.
#include <windows.h>

namespace qm {

constexpr UINT WM_QM_QUEUE_WAKE = WM_APP + 1;      // main-thread queue has work
constexpr UINT WM_QM_QUEUE_MARK = WM_APP + 2;      // end marker of a bounded message pump
constexpr UINT WM_QM_TRAY = WM_APP + 10;           // notification icon callback
constexpr UINT WM_QM_DEFERRED_ERROR = WM_APP + 11; // show an error once start-up is done

}  // namespace qm
