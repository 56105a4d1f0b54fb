#pragma once
// Synthesized keyboard and mouse input and the cursor, through a table that
// tests swap to record the exact events; what SendInput did cannot be
// observed from outside.
#include <windows.h>

namespace qm {

struct TInputFunctions {
  UINT(WINAPI* SendInput)(UINT count, LPINPUT inputs, int size);
  BOOL(WINAPI* SetCursorPos)(int x, int y);
  BOOL(WINAPI* GetCursorPos)(LPPOINT point);
};

// The table in use; by default the system's functions.
TInputFunctions& InputFunctions() noexcept;
// The system's own functions, for a test to restore or to pass through.
const TInputFunctions& SystemInputFunctions() noexcept;

}  // namespace qm
