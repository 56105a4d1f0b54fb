#pragma once
// QmTarget.exe in a process of its own, and what its log says it received.
#include <windows.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace qmtest {

class TargetProcess {
 public:
  // Starts the target with a log of its own and the given options, and
  // waits until its window is up.
  explicit TargetProcess(const std::vector<std::wstring>& options = {});
  ~TargetProcess();
  TargetProcess(const TargetProcess&) = delete;
  TargetProcess& operator=(const TargetProcess&) = delete;

  bool Ready() const { return main_ != nullptr; }
  HWND Main() const { return main_; }
  // The control of that name ("edit1", "combo.edit", ...), 0 when none.
  HWND Control(const std::wstring& name) const;
  DWORD Pid() const { return pid_; }
  const std::wstring& LogPath() const { return log_; }

  // Log lines after READY, without the stamp; text stays escaped.
  std::vector<std::wstring> Lines() const;
  // The data of every "<name> <event> data" line, in order.
  std::vector<std::wstring> Events(const std::wstring& name, const std::wstring& event) const;
  // Every line of that control, "<event> data", in order.
  std::vector<std::wstring> EventsOf(const std::wstring& name) const;
  // Pumps the caller's messages until pred holds on the lines or ms pass.
  bool WaitUntil(const std::function<bool(const std::vector<std::wstring>&)>& pred, DWORD ms) const;

  // Requests to the target's window; Hang is posted, the others are sent.
  void Focus(std::size_t index) const;
  void Hang(DWORD ms) const;
  void ComeToFront() const;
  // Two round trips: the target has looked at its queue again since.
  bool Sync() const;

 private:
  std::wstring log_;
  HANDLE process_ = nullptr;
  DWORD pid_ = 0;
  HWND main_ = nullptr;
  std::map<std::wstring, HWND> controls_;
};

// The target's window class name, as the target registers it.
inline const wchar_t* TargetClass() { return L"QmTargetWindow"; }

// Records the keys of SendInput calls, and does not send them, while
// installed. The keys recorded are those it let in.
struct KeyRecorder {
  struct Event {
    BYTE vk;
    DWORD flags;
    bool operator==(const Event&) const = default;
  };
  KeyRecorder();
  ~KeyRecorder();
  static std::vector<Event>& Events();
  static std::vector<WORD>& Scans();          // each key's scan code, as Events
  static std::vector<std::size_t>& Blocks();  // the number of events of each call
  // The next call lets in only its first n events, as a blocked system does.
  static void LetInOfNextBlock(std::size_t n);
};

// The clipboard's text, "<busy>" while another program holds it.
std::wstring ClipboardText();

// Reads a whole file that another process may hold open; empty when none.
std::string ReadWholeFile(const std::wstring& path);

}  // namespace qmtest
