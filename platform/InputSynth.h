#pragma once
// Synthesized keyboard and mouse input and the cursor, through a table that
// tests swap to record the exact event sequence; what keybd_event and
// mouse_event did cannot be observed from outside.
#include <windows.h>

namespace qm {

struct TInputFunctions {
  void(WINAPI* KeybdEvent)(BYTE vk, BYTE scan, DWORD flags, ULONG_PTR extra);
  void(WINAPI* MouseEvent)(DWORD flags, DWORD dx, DWORD dy, DWORD data, ULONG_PTR extra);
  BOOL(WINAPI* SetCursorPos)(int x, int y);
  BOOL(WINAPI* GetCursorPos)(LPPOINT point);
};

// The table in use; by default the system's functions.
TInputFunctions& InputFunctions() noexcept;
// The system's own functions, for a test to restore or to pass through.
const TInputFunctions& SystemInputFunctions() noexcept;

}  // namespace qm
