#pragma once
// Drives the real Quillmere.exe from another process: a fresh folder per
// run, the main window's components by id, message boxes, the registry and
// Wine's stand-in notification area.
#include <winsock2.h>
#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace qme2e {

// The executable under test (the build's Quillmere.exe).
std::wstring BuiltExePath();

// A fresh, empty folder under %TEMP%, deleted with everything in it at the end.
class TTempDir {
 public:
  // nameHint becomes part of the folder's name (a long one makes long paths).
  explicit TTempDir(const std::wstring& nameHint = L"qm");
  ~TTempDir();
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  const std::wstring& Path() const noexcept { return path_; }  // with trailing backslash
  std::wstring File(const std::wstring& name) const { return path_ + name; }

 private:
  std::wstring path_;
};

std::string ReadBytes(const std::wstring& file);      // empty when missing
bool WriteBytes(const std::wstring& file, const std::string& bytes);
bool FileExists(const std::wstring& file);

// One running Quillmere.exe, copied into dir first.
class TQuillmere {
 public:
  explicit TQuillmere(const TTempDir& dir);
  ~TQuillmere();  // kills the process if it still runs
  TQuillmere(const TQuillmere&) = delete;
  TQuillmere& operator=(const TQuillmere&) = delete;

  const std::wstring& ExePath() const noexcept { return exe_; }
  // Starts the program and waits for its main window.
  [[nodiscard]] bool Start(int showCmd = SW_SHOWNORMAL, DWORD waitMs = 15000);
  bool Running() const;
  bool WaitForExit(DWORD ms);
  void Kill();

  HWND Main() const noexcept { return main_; }
  DWORD Pid() const noexcept { return pid_; }
  HWND Control(int id) const;  // the descendant of the main window with that id
  std::wstring Text(int id) const;
  void SetText(int id, const std::wstring& text);
  bool Checked(int id) const;
  void PostClick(int id);  // BM_CLICK, posted: the handler may open a modal box
  RECT RectInParent(int id) const;
  RECT ClientRect() const;

  // Log entries as the pane shows them ("hh:nn:ss  message").
  std::vector<std::wstring> Log() const;
  // The messages of the log entries, without their time stamps.
  std::vector<std::wstring> LogMessages() const;
  bool WaitLog(const std::function<bool(const std::vector<std::wstring>&)>& pred, DWORD ms) const;
  bool WaitLogContains(const std::wstring& message, DWORD ms) const;

 private:
  std::wstring dir_, exe_;
  PROCESS_INFORMATION pi_{};
  HWND main_ = nullptr;
  DWORD pid_ = 0;
};

// A visible message box of process pid.
struct TMessageBox {
  HWND wnd = nullptr;
  std::wstring title, text;
  bool hasIcon = false;
  std::vector<std::wstring> buttons;
};
std::optional<TMessageBox> WaitMessageBox(DWORD pid, DWORD ms);
void PressOk(const TMessageBox& box);
bool WaitGone(HWND wnd, DWORD ms);

// The auto-start value "Quillmere" under the current user's Run key.
std::optional<std::wstring> RunValue();
void SetRunValue(const std::wstring& data);
void DeleteRunValue();

// Wine's stand-in notification area shows each icon as a small window.
std::vector<HWND> TrayIconWindows();
// Real synthesized mouse input at a screen point.
void MouseClickAt(POINT pt, DWORD downFlag, DWORD upFlag);
void PressKey(WORD vk);

// Waits until pred() holds, polling; false on time-out.
bool WaitFor(const std::function<bool()>& pred, DWORD ms);

// A TCP client of 127.0.0.1:port.
bool CanConnect(std::uint16_t port);
std::uint16_t FreePort();
bool SendLines(std::uint16_t port, const std::string& bytes);

// Strips "hh:nn:ss  " from a log entry; returns the entry unchanged when it
// has no stamp.
std::wstring WithoutStamp(const std::wstring& entry);

}  // namespace qme2e
