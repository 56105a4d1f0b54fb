#pragma once
// Process-wide facts and the application's own message loop.
#include <windows.h>

#include <string>

namespace qm {

class TApplication {
 public:
  // Full path of the running executable, as the system reports it.
  static std::wstring ExePath();
  // The executable's directory with its trailing backslash.
  static std::wstring ExeDir();
  // The application title: file name without extension, first character kept,
  // the rest in lower case.
  static const std::wstring& Title();

  // Ends the application's message loop, even if a modal loop of the main
  // thread swallows the quit message.
  static void Terminate() noexcept;
  static bool Terminated() noexcept;

  // Tab and arrow navigation in this window (0 for none).
  static void SetDialogWindow(HWND wnd) noexcept;
  // Runs the message loop until Terminate or WM_QUIT.
  static void Run();
};

}  // namespace qm
