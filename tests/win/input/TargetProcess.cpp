#include "TargetProcess.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <utility>

#include "WinTestSupport.h"
#include "platform/InputSynth.h"

namespace qmtest {
namespace {

std::wstring Widen(const std::string& s) {
  if (s.empty()) return std::wstring();
  int n = ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), n);
  return out;
}

// The build gives the target's Linux path; Wine sees the Linux root as Z:.
std::wstring TargetExe() {
  std::wstring path = Widen(QM_TARGET_EXE);
  for (wchar_t& c : path)
    if (c == L'/') c = L'\\';
  return path.size() > 1 && path[1] == L':' ? path : L"Z:" + path;
}

std::wstring Quote(const std::wstring& s) { return L"\"" + s + L"\""; }

std::vector<std::wstring> SplitLines(const std::wstring& all) {
  std::vector<std::wstring> lines;
  std::size_t at = 0;
  for (std::size_t nl; (nl = all.find(L'\n', at)) != std::wstring::npos; at = nl + 1)
    lines.push_back(all.substr(at, nl - at));
  return lines;
}

std::atomic<int> g_counter{0};

}  // namespace

std::wstring ClipboardText() {
  std::wstring out;
  if (!::OpenClipboard(nullptr)) return L"<busy>";
  if (HANDLE h = ::GetClipboardData(CF_UNICODETEXT)) {
    if (auto* p = static_cast<const wchar_t*>(::GlobalLock(h))) {
      out = p;
      ::GlobalUnlock(h);
    }
  }
  ::CloseClipboard();
  return out;
}

std::string ReadWholeFile(const std::wstring& path) {
  HANDLE f = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (f == INVALID_HANDLE_VALUE) return std::string();
  std::string out;
  char buf[65536];
  DWORD n = 0;
  while (::ReadFile(f, buf, sizeof(buf), &n, nullptr) && n > 0) out.append(buf, n);
  ::CloseHandle(f);
  return out;
}

TargetProcess::TargetProcess(const std::vector<std::wstring>& options) {
  wchar_t dir[MAX_PATH];
  ::GetTempPathW(MAX_PATH, dir);
  log_ = std::wstring(dir) + L"qmtarget-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
         std::to_wstring(++g_counter) + L".log";
  ::DeleteFileW(log_.c_str());
  std::wstring cmd = Quote(TargetExe()) + L" --log " + Quote(log_);
  for (const std::wstring& o : options) cmd += L" " + Quote(o);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi{};
  if (!::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return;
  ::CloseHandle(pi.hThread);
  process_ = pi.hProcess;
  pid_ = pi.dwProcessId;
  std::wstring ready;
  PumpUntil(
      [&] {
        std::vector<std::wstring> lines = SplitLines(Widen(ReadWholeFile(log_)));
        for (const std::wstring& l : lines)
          if (l.rfind(L"READY ", 0) == 0 || l.find(L" READY ") != std::wstring::npos) ready = l;
        return !ready.empty() || ::WaitForSingleObject(process_, 0) == WAIT_OBJECT_0;
      },
      15000);
  for (std::size_t at = ready.find(L"READY ") + 6; at < ready.size();) {
    std::size_t sp = ready.find(L' ', at);
    if (sp == std::wstring::npos) sp = ready.size();
    std::wstring pair = ready.substr(at, sp - at);
    std::size_t eq = pair.find(L'=');
    if (eq != std::wstring::npos) {
      HWND w = reinterpret_cast<HWND>(static_cast<UINT_PTR>(std::wcstoull(pair.c_str() + eq + 1, nullptr, 16)));
      if (pair.substr(0, eq) == L"main")
        main_ = w;
      else
        controls_[pair.substr(0, eq)] = w;
    }
    at = sp + 1;
  }
}

TargetProcess::~TargetProcess() {
  if (process_) {
    ::TerminateProcess(process_, 0);
    ::WaitForSingleObject(process_, 5000);
    ::CloseHandle(process_);
  }
  ::DeleteFileW(log_.c_str());
}

HWND TargetProcess::Control(const std::wstring& name) const {
  auto it = controls_.find(name);
  return it == controls_.end() ? nullptr : it->second;
}

std::vector<std::wstring> TargetProcess::Lines() const {
  std::vector<std::wstring> out;
  bool afterReady = false;
  for (std::wstring& l : SplitLines(Widen(ReadWholeFile(log_)))) {
    if (!l.empty() && l[0] >= L'0' && l[0] <= L'9') l.erase(0, l.find(L' ') + 1);  // the stamp
    if (afterReady)
      out.push_back(std::move(l));
    else if (l.rfind(L"READY ", 0) == 0)
      afterReady = true;
  }
  return out;
}

std::vector<std::wstring> TargetProcess::EventsOf(const std::wstring& name) const {
  std::vector<std::wstring> out;
  const std::wstring prefix = name + L" ";
  for (const std::wstring& l : Lines())
    if (l.rfind(prefix, 0) == 0) out.push_back(l.substr(prefix.size()));
  return out;
}

std::vector<std::wstring> TargetProcess::Events(const std::wstring& name, const std::wstring& event) const {
  std::vector<std::wstring> out;
  for (const std::wstring& e : EventsOf(name)) {
    if (e == event) out.push_back(std::wstring());
    else if (e.rfind(event + L" ", 0) == 0) out.push_back(e.substr(event.size() + 1));
  }
  return out;
}

bool TargetProcess::WaitUntil(const std::function<bool(const std::vector<std::wstring>&)>& pred, DWORD ms) const {
  return PumpUntil([&] { return pred(Lines()); }, ms);
}

// Sent, not posted: a round trip afterwards could overtake a posted request.
void TargetProcess::Focus(std::size_t index) const {
  DWORD_PTR r = 0;
  ::SendMessageTimeoutW(main_, WM_APP + 1, index, 0, SMTO_ABORTIFHUNG, 5000, &r);
}
void TargetProcess::Hang(DWORD ms) const { ::PostMessageW(main_, WM_APP + 2, ms, 0); }
void TargetProcess::ComeToFront() const {
  DWORD_PTR r = 0;
  ::SendMessageTimeoutW(main_, WM_APP + 3, 0, 0, SMTO_ABORTIFHUNG, 5000, &r);
}

bool TargetProcess::Sync() const {
  DWORD_PTR r = 0;
  return ::SendMessageTimeoutW(main_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &r) != 0 &&
         ::SendMessageTimeoutW(main_, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, 5000, &r) != 0;
}

namespace {
std::vector<KeyRecorder::Event> g_keys;
std::vector<WORD> g_scans;
std::vector<std::size_t> g_blocks;
std::size_t g_letIn = SIZE_MAX;
UINT WINAPI RecordInput(UINT count, LPINPUT inputs, int) {
  g_blocks.push_back(count);
  count = static_cast<UINT>(std::min<std::size_t>(count, std::exchange(g_letIn, SIZE_MAX)));
  for (UINT i = 0; i < count; ++i) {
    if (inputs[i].type != INPUT_KEYBOARD) continue;
    g_keys.push_back({static_cast<BYTE>(inputs[i].ki.wVk), inputs[i].ki.dwFlags});
    g_scans.push_back(inputs[i].ki.wScan);
  }
  return count;
}
}  // namespace

KeyRecorder::KeyRecorder() {
  g_keys.clear();
  g_scans.clear();
  g_blocks.clear();
  g_letIn = SIZE_MAX;
  qm::InputFunctions().SendInput = &RecordInput;
}
KeyRecorder::~KeyRecorder() { qm::InputFunctions() = qm::SystemInputFunctions(); }
std::vector<KeyRecorder::Event>& KeyRecorder::Events() { return g_keys; }
std::vector<WORD>& KeyRecorder::Scans() { return g_scans; }
std::vector<std::size_t>& KeyRecorder::Blocks() { return g_blocks; }
void KeyRecorder::LetInOfNextBlock(std::size_t n) { g_letIn = n; }

}  // namespace qmtest
