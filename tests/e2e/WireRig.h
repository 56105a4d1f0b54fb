#pragma once
// The real program on a free port with a QmTarget in front of it, for the
// wire, load and fault tests, and what the target's log says as it grows.
#include <string>
#include <utility>
#include <vector>

#include "E2eSupport.h"
#include "TargetProcess.h"

namespace qme2e {

// One event of a target control: "<control> <event> <data>" in its log.
struct TTargetEvent {
  std::wstring control, event, data;  // data unescaped
};

inline std::wstring Utf8ToWide(const std::string& s) {
  if (s.empty()) return std::wstring();
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

// The target's log escapes \\, CR and LF.
inline std::wstring Unescape(const std::wstring& s) {
  std::wstring out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != L'\\' || i + 1 == s.size()) {
      out += s[i];
      continue;
    }
    const wchar_t c = s[++i];
    out += c == L'r' ? L'\r' : c == L'n' ? L'\n' : c;
  }
  return out;
}

inline bool ParseEvent(const std::string& line, TTargetEvent& e) {
  const std::size_t a = line.find(' ');
  if (a == std::string::npos || line.rfind("READY ", 0) == 0) return false;
  const std::size_t b = line.find(' ', a + 1);
  e.control = Utf8ToWide(line.substr(0, a));
  e.event = Utf8ToWide(line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1));
  e.data = b == std::string::npos ? std::wstring() : Unescape(Utf8ToWide(line.substr(b + 1)));
  return true;
}

struct TDeliveryRig {
  // A target of one single-line edit with the focus: the direct way.
  static std::vector<std::wstring> EditTarget() { return {L"--controls", L"edit1", L"--focus", L"edit1"}; }

  // "{dir}" at the start of an option stands for the program's folder.
  explicit TDeliveryRig(const std::vector<std::wstring>& targetOptions = EditTarget())
      : target(InDir(targetOptions)), tail(target.LogPath()) {}

  // Starts the program with config (the port line is added) and waits for
  // the line its listener logs (the listening line unless given); then puts
  // the target in front.
  bool Start(const std::string& moreConfig = "AutoStart=0\r\n", const std::wstring& listenerLine = {}) {
    if (!target.Ready()) return false;
    return WriteBytes(dir.File(L"config.ini"), "[Config]\r\nPort=" + std::to_string(port) + "\r\n" + moreConfig) &&
           app.Start() && app.WaitLogContains(listenerLine.empty() ? ListenerLine(port) : listenerLine, 15000) &&
           TargetInFront();
  }
  // Waits until n readers run: the program's worker threads less the
  // listener. A reader ends after queuing its last lines.
  bool WaitReaders(std::size_t n, DWORD ms) {
    return WaitFor([&] { return app.WorkerThreads() == n + 1; }, ms);
  }
  // The program's own window may still be taking the foreground back (after
  // a message box, say): asked again until the target stays in front.
  bool TargetInFront() {
    return WaitFor(
        [&] {
          ::SetForegroundWindow(target.Main());
          return target.Sync() && app.Sync() && ::GetForegroundWindow() == target.Main();
        },
        5000);
  }

  // Events logged since the last call (all controls).
  std::vector<TTargetEvent> NewEvents() {
    std::vector<TTargetEvent> out;
    for (const std::string& line : tail.NewLines()) {
      TTargetEvent e;
      if (ParseEvent(line, e)) {
        all.push_back(e);
        out.push_back(std::move(e));
      }
    }
    return out;
  }
  // Every event of the control seen so far with that name, in order.
  std::vector<std::wstring> Seen(const std::wstring& event, const std::wstring& control = L"edit1") {
    NewEvents();
    std::vector<std::wstring> out;
    for (const TTargetEvent& e : all)
      if (e.control == control && e.event == event) out.push_back(e.data);
    return out;
  }
  std::vector<std::wstring> Entered(const std::wstring& control = L"edit1") { return Seen(L"ENTER", control); }
  // Waits until the control has seen text entered; false on time-out.
  bool WaitEntered(const std::wstring& text, DWORD ms, const std::wstring& control = L"edit1") {
    return WaitFor(
        [&] {
          for (const std::wstring& t : Entered(control))
            if (t == text) return true;
          return false;
        },
        ms);
  }
  bool WaitEnteredCount(std::size_t n, DWORD ms, const std::wstring& control = L"edit1") {
    return WaitFor([&] { return Entered(control).size() >= n; }, ms);
  }

  // The texts entered since the last mark, up to a new one: once a mark sent
  // on a connection of its own is entered, everything sent on connections
  // that ended before it has been entered too.
  std::vector<std::wstring> UntilMark(const std::wstring& control = L"edit1") {
    const std::wstring mark = L"=MARK-" + std::to_wstring(++marks) + L"=";
    if (!SendLines(port, U8(mark) + "\r\n") || !WaitEntered(mark, 20000, control)) return {L"(mark " + mark + L" lost)"};
    const std::vector<std::wstring> entered = Entered(control);
    std::vector<std::wstring> out;
    std::size_t i = consumed;
    for (; i < entered.size() && entered[i] != mark; ++i) out.push_back(entered[i]);
    consumed = i + 1;
    return out;
  }

  // Waits until barcode.txt holds bytes. The program skips its write when
  // anyone holds the file open, so the file is opened only once its size
  // says the write is done: the texts compared must differ in length.
  bool WaitBarcodeFile(const std::string& bytes, DWORD ms) {
    const std::wstring file = dir.File(L"barcode.txt");
    const bool sized = WaitFor(
        [&] {
          WIN32_FILE_ATTRIBUTE_DATA a{};
          return ::GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &a) && a.nFileSizeHigh == 0 &&
                 a.nFileSizeLow == bytes.size();
        },
        ms);
    return sized && WaitFor([&] { return ReadBytes(file) == bytes; }, ms);
  }

  TTempDir dir;
  qmtest::TargetProcess target;
  std::uint16_t port = FreePort();
  TQuillmere app{dir};
  TLogTail tail;
  std::vector<TTargetEvent> all;
  int marks = 0;
  std::size_t consumed = 0;  // entered texts up to the last mark

 private:
  std::vector<std::wstring> InDir(std::vector<std::wstring> options) const {
    for (std::wstring& o : options)
      if (o.rfind(L"{dir}", 0) == 0) o = dir.Path() + o.substr(5);
    return options;
  }
};

}  // namespace qme2e
