// Delivery benchmark: the time from a client's send to the text in a control
// of another process (QmTarget.exe, which stamps what it receives with the
// performance counter, one clock for all processes), by the direct and by the
// paste way; the throughput of the direct way; and what the waits for the
// target add to each barcode. The baseline, measured in the same run, is a
// minimal receiver that sets each line into the same control with WM_SETTEXT.
// The keys way types 13-character barcodes into a control that reads typed
// keys, against the paste and direct ways of the same run and a typist that
// sends the same keys in one SendInput block.
//
//   delivery_bench.exe [--count N] [--paste-count N] [--keys-count N] [--quillmere PATH]
#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "TargetProcess.h"
#include "WinTestSupport.h"
#include "input/UExternalInput.h"
#include "net/UBarcodeServer.h"
#include "platform/MainThreadQueue.h"

namespace {

using qmtest::TargetProcess;

constexpr DWORD kArrivalTimeoutMs = 3000;
constexpr DWORD kIdleGapMs = 20;  // between barcodes sent one at a time

double g_qpcPerMs = 1;

long long Now() {
  LARGE_INTEGER t;
  ::QueryPerformanceCounter(&t);
  return t.QuadPart;
}

std::wstring Widen(const std::string& s) {
  std::wstring out(s.size(), L'\0');
  out.resize(static_cast<std::size_t>(
      ::MultiByteToWideChar(CP_UTF8, 0, s.data(), static_cast<int>(s.size()), out.data(), static_cast<int>(out.size()))));
  return out;
}

// Linux paths from the build; Wine sees the Linux root as Z:.
std::wstring WinPath(const char* path) {
  std::wstring p = Widen(path);
  std::replace(p.begin(), p.end(), L'/', L'\\');
  return p.size() > 1 && p[1] == L':' ? p : L"Z:" + p;
}

struct Stamped {
  long long stamp;
  std::string line;
};

// Reads the target's stamped log as it grows.
class LogTail {
 public:
  explicit LogTail(std::wstring path) : path_(std::move(path)) {}
  std::vector<Stamped> Read() {
    std::vector<Stamped> out;
    HANDLE f = ::CreateFileW(path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE) return out;
    LARGE_INTEGER at;
    at.QuadPart = offset_;
    ::SetFilePointerEx(f, at, nullptr, FILE_BEGIN);
    char buf[65536];
    DWORD n = 0;
    while (::ReadFile(f, buf, sizeof(buf), &n, nullptr) && n > 0) {
      partial_.append(buf, n);
      offset_ += n;
    }
    ::CloseHandle(f);
    for (std::size_t nl; (nl = partial_.find('\n')) != std::string::npos; partial_.erase(0, nl + 1)) {
      std::string line = partial_.substr(0, nl);
      std::size_t sp = line.find(' ');
      if (sp == std::string::npos) continue;
      out.push_back({std::atoll(line.c_str()), line.substr(sp + 1)});
    }
    return out;
  }

 private:
  std::wstring path_;
  long long offset_ = 0;
  std::string partial_;
};

struct Result {
  std::vector<double> latencyMs;
  double perSecond = 0;
  int lost = 0, reordered = 0;
  std::string note;
};

std::string Code(const std::string& prefix, int i) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%s%04d", prefix.c_str(), i);
  return buf;
}

SOCKET ConnectWithin(std::uint16_t port, DWORD ms) {
  const DWORD start = ::GetTickCount();
  for (;;) {
    SOCKET s = qmtest::Connect(port);
    if (s != INVALID_SOCKET || ::GetTickCount() - start > ms) return s;
    ::Sleep(50);
  }
}

// One receiver under test: its port, the prefix of the codes sent to it, the
// log text of an arrival ("edit1 WM_SETTEXT ") and, when it presses Enter,
// the log text that ends the handling of one code ("edit1 ENTER ").
struct Lane {
  std::uint16_t port = 0;
  std::string prefix, marker, done;
  SOCKET sock = INVALID_SOCKET;
  std::vector<std::string> arrived;
  std::string lastDone;
  std::vector<std::string> expected;
  Result r;
};

// Sends to all lanes in turn, so that each is measured under the same load
// of a shared machine.
class Session {
 public:
  Session(const std::wstring& log, std::vector<Lane*> lanes) : log_(log), lanes_(std::move(lanes)) {}

  // count codes per lane, one at a time: each is sent once the one before
  // has been handled completely and a short pause has passed, so it finds
  // the receiver idle.
  void Sequential(int count) {
    for (Lane* l : lanes_) {
      l->sock = ConnectWithin(l->port, 10000);
      if (l->sock == INVALID_SOCKET) l->r.note = "no listener";
    }
    for (int i = 0; i < count; ++i)
      for (Lane* l : lanes_) {
        if (!l->r.note.empty()) continue;
        const std::string code = Code(l->prefix, i);
        const long long sent = Now();
        qmtest::SendAll(l->sock, code + "\r\n");
        l->expected.push_back(code);
        long long stamp = 0;
        if (!WaitFor(code, kArrivalTimeoutMs, &stamp)) {
          l->r.note = "nothing arrived within 3 s";
          continue;
        }
        l->r.latencyMs.push_back(static_cast<double>(stamp - sent) / g_qpcPerMs);
        const DWORD start = ::GetTickCount();
        while (!l->done.empty() && l->lastDone != code && ::GetTickCount() - start < kArrivalTimeoutMs) {
          ::Sleep(1);
          Collect();
        }
        ::Sleep(kIdleGapMs);
      }
  }

  // count codes per lane in one send; the rate is from the send to the
  // arrival of the last one.
  void Burst(int count) {
    for (Lane* l : lanes_) {
      if (!l->r.note.empty()) continue;
      std::string all;
      for (int i = 0; i < count; ++i) {
        all += Code(l->prefix + "T", i) + "\r\n";
        l->expected.push_back(Code(l->prefix + "T", i));
      }
      const long long sent = Now();
      qmtest::SendAll(l->sock, all);
      long long stamp = 0;
      if (WaitFor(l->expected.back(), kArrivalTimeoutMs + count * 100, &stamp))
        l->r.perSecond = count * 1000.0 / (static_cast<double>(stamp - sent) / g_qpcPerMs);
      else
        l->r.note = "burst incomplete";
    }
  }

  // Counts what never arrived and what arrived out of turn or twice.
  void Finish() {
    ::Sleep(300);
    Collect();
    for (Lane* l : lanes_) {
      if (l->sock != INVALID_SOCKET) ::closesocket(l->sock);
      for (const std::string& e : l->expected)
        if (std::count(l->arrived.begin(), l->arrived.end(), e) == 0) ++l->r.lost;
      std::size_t at = 0;
      for (const std::string& a : l->arrived) {
        if (at < l->expected.size() && a == l->expected[at])
          ++at;
        else
          ++l->r.reordered;
      }
    }
  }

 private:
  // The lane's code in a field's text: a paste goes in at the caret, next to
  // what another lane set.
  static std::string CodeIn(const std::string& text, const std::string& prefix) {
    for (std::size_t at = text.find(prefix); at != std::string::npos; at = text.find(prefix, at + 1)) {
      std::size_t digits = at + prefix.size() + (text.compare(at + prefix.size(), 1, "T") == 0 ? 1 : 0);
      if (digits + 4 <= text.size() &&
          std::all_of(text.begin() + static_cast<std::ptrdiff_t>(digits),
                      text.begin() + static_cast<std::ptrdiff_t>(digits + 4), [](char c) { return c >= '0' && c <= '9'; }))
        return text.substr(at, digits + 4 - at);
    }
    return std::string();
  }

  void Collect() {
    for (const Stamped& s : log_.Read())
      for (Lane* l : lanes_) {
        if (s.line.compare(0, l->marker.size(), l->marker) == 0) {
          std::string code = CodeIn(s.line.substr(l->marker.size()), l->prefix);
          if (!code.empty()) {
            l->arrived.push_back(code);
            stamps_.emplace_back(code, s.stamp);
          }
        }
        if (!l->done.empty() && s.line.compare(0, l->done.size(), l->done) == 0) {
          std::string code = CodeIn(s.line.substr(l->done.size()), l->prefix);
          if (!code.empty()) l->lastDone = code;
        }
      }
  }

  bool WaitFor(const std::string& code, DWORD ms, long long* stamp) {
    const DWORD start = ::GetTickCount();
    for (;;) {
      Collect();
      for (auto it = stamps_.rbegin(); it != stamps_.rend(); ++it)
        if (it->first == code) {
          *stamp = it->second;
          return true;
        }
      if (::GetTickCount() - start >= ms) return false;
      ::Sleep(1);
    }
  }

  LogTail log_;
  std::vector<Lane*> lanes_;
  std::vector<std::pair<std::string, long long>> stamps_;
};

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  std::size_t i = static_cast<std::size_t>(p * static_cast<double>(v.size()) + 0.999999);
  return v[std::min(v.size(), std::max<std::size_t>(i, 1)) - 1];
}

std::vector<std::wstring> TargetOptions(bool paste) {
  if (paste) return {L"--controls", L"memo", L"--focus", L"memo", L"--clear-on-enter", L"--stamp"};
  return {L"--controls", L"edit1", L"--focus", L"edit1", L"--stamp"};
}

// Runs body on a thread of its own while this thread serves its messages
// (the in-process deliverer needs them).
template <typename F>
void WhilePumping(F body) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    body();
    done = true;
  });
  qmtest::PumpUntil([&] { return done.load(); }, 30 * 60 * 1000);
  worker.join();
}

class ChildProcess {
 public:
  ChildProcess(std::wstring cmd, const std::wstring& dir) {
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    if (::CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.empty() ? nullptr : dir.c_str(),
                         &si, &pi_))
      ::CloseHandle(pi_.hThread);
    else
      pi_.hProcess = nullptr;
  }
  ~ChildProcess() {
    if (!pi_.hProcess) return;
    ::TerminateProcess(pi_.hProcess, 0);
    ::WaitForSingleObject(pi_.hProcess, 5000);
    ::CloseHandle(pi_.hProcess);
  }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  bool Running() const { return pi_.hProcess != nullptr; }

 private:
  PROCESS_INFORMATION pi_{};
};

// Quillmere.exe copied into a fresh folder with a config.ini of its own.
class QuillmereCopy {
 public:
  QuillmereCopy(const std::wstring& exe, std::uint16_t port, const std::string& moreConfig = "") {
    if (::GetFileAttributesW(exe.c_str()) == INVALID_FILE_ATTRIBUTES) return;
    wchar_t tmp[MAX_PATH];
    ::GetTempPathW(MAX_PATH, tmp);
    dir_ = std::wstring(tmp) + L"qmbench-" + std::to_wstring(::GetCurrentProcessId()) + L"-" +
           std::to_wstring(port) + L"\\";
    ::CreateDirectoryW(dir_.c_str(), nullptr);
    if (!::CopyFileW(exe.c_str(), (dir_ + L"Quillmere.exe").c_str(), FALSE)) return;
    const std::string ini = "[Config]\r\nPort=" + std::to_string(port) + "\r\nAutoStart=0\r\nFocusX=0\r\nFocusY=0\r\n" +
                            moreConfig;
    HANDLE f = ::CreateFileW((dir_ + L"config.ini").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    ::WriteFile(f, ini.data(), static_cast<DWORD>(ini.size()), &written, nullptr);
    ::CloseHandle(f);
    process_ = std::make_unique<ChildProcess>(L"\"" + dir_ + L"Quillmere.exe\"", dir_);
    SOCKET probe = ConnectWithin(port, 10000);
    if (probe != INVALID_SOCKET) ::closesocket(probe);
  }
  ~QuillmereCopy() {
    process_.reset();
    for (const wchar_t* name : {L"Quillmere.exe", L"config.ini", L"barcode.txt"}) ::DeleteFileW((dir_ + name).c_str());
    if (!dir_.empty()) ::RemoveDirectoryW(dir_.c_str());
  }
  bool Running() const { return process_ && process_->Running(); }

 private:
  std::wstring dir_;
  std::unique_ptr<ChildProcess> process_;
};

struct WayResults {
  Result baseline, exe, inProcess;
};

// The baseline, Quillmere.exe and the in-process deliverer (the listener and
// delivery units in this process) send into one target, in turn.
WayResults RunWay(bool paste, const std::wstring& quillmere, int count) {
  WayResults out;
  TargetProcess target(TargetOptions(paste));
  if (!target.Ready()) {
    out.baseline.note = out.exe.note = out.inProcess.note = "target did not start";
    return out;
  }
  const std::string field = paste ? "memo " : "edit1 ";
  Lane base;
  base.port = qmtest::FreePort();
  base.prefix = "B";
  base.marker = field + "WM_SETTEXT ";
  wchar_t cmd[512];
  std::swprintf(cmd, 512, L"\"%ls\" %u %llX", WinPath(QM_BASELINE_EXE).c_str(), base.port,
                static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(target.Control(paste ? L"memo" : L"edit1"))));
  ChildProcess baseline(cmd, L"");
  const std::string arrival = field + (paste ? "PASTED " : "WM_SETTEXT ");
  Lane exe;
  exe.port = qmtest::FreePort();
  exe.prefix = "Q";
  exe.marker = arrival;
  exe.done = field + "ENTER ";
  QuillmereCopy copy(quillmere, exe.port);
  Lane in = exe;
  in.port = qmtest::FreePort();
  in.prefix = "I";
  qm::TBarcodeServer server(
      in.port, [](const std::wstring& S) { qm::SendExternalText(S + L"\r"); }, nullptr);
  (void)server.Start();
  ::Sleep(300);
  target.ComeToFront();  // the user works in the target, the program's window behind it

  std::vector<Lane*> lanes{&base};
  if (copy.Running()) lanes.push_back(&exe);
  else exe.r.note = "Quillmere.exe not built or not started";
  lanes.push_back(&in);
  Session session(target.LogPath(), lanes);
  WhilePumping([&] {
    session.Sequential(count);
    if (!paste) session.Burst(count);
    session.Finish();
  });
  server.Stop();
  server.WaitFor();
  qmtest::PumpFor(300);
  out.baseline = base.r;
  out.exe = exe.r;
  out.inProcess = in.r;
  return out;
}

struct KeysResults {
  Result exe, typist;
  double exeGapMedian = -1, exeGapMax = -1, typistGapMedian = -1, typistGapMax = -1;
};

// The largest gap between two characters of each barcode, from the stamped
// WM_CHAR lines before each Enter.
class GapWatch {
 public:
  // Lines of one barcode; returns true at its Enter, with the typed text.
  bool Take(const Stamped& s, std::string& entered) {
    if (s.line.rfind("canvas WM_CHAR ", 0) == 0) {
      if (last_ > 0) gap_ = std::max(gap_, static_cast<double>(s.stamp - last_) / g_qpcPerMs);
      last_ = s.stamp;
    } else if (s.line.rfind("canvas ENTER ", 0) == 0) {
      entered = s.line.substr(13);
      gaps.push_back(gap_);
      last_ = 0;
      gap_ = 0;
      return true;
    }
    return false;
  }
  std::vector<double> gaps;

 private:
  long long last_ = 0;
  double gap_ = 0;
};

// Waits for the Enter of code; its stamp, or 0 on time-out.
long long WaitEnter(LogTail& tail, GapWatch& gaps, const std::string& code, DWORD ms) {
  for (const DWORD start = ::GetTickCount(); ::GetTickCount() - start < ms; ::Sleep(1))
    for (const Stamped& s : tail.Read()) {
      std::string entered;
      if (gaps.Take(s, entered) && entered == code) return s.stamp;
    }
  return 0;
}

// The typist: the code's keys and Enter in one SendInput block, as the
// fastest keyboard-wedge scanner would.
void TypeBlock(const std::string& code) {
  std::vector<INPUT> in;
  const auto key = [&in](WORD vk, bool up) {
    INPUT i{};
    i.type = INPUT_KEYBOARD;
    i.ki.wVk = vk;
    i.ki.wScan = static_cast<WORD>(::MapVirtualKeyW(vk, MAPVK_VK_TO_VSC));
    i.ki.dwFlags = up ? KEYEVENTF_KEYUP : 0;
    in.push_back(i);
  };
  for (char c : code) {
    const SHORT k = ::VkKeyScanW(static_cast<wchar_t>(c));
    if (HIBYTE(k) & 1) key(VK_SHIFT, false);
    key(LOBYTE(k), false);
    key(LOBYTE(k), true);
    if (HIBYTE(k) & 1) key(VK_SHIFT, true);
  }
  key(VK_RETURN, false);
  key(VK_RETURN, true);
  ::SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
}

// 13-character barcodes typed by Quillmere.exe with Delivery=keys and by the
// typist, in turn, into a control that reads only typed keys; then a burst.
KeysResults RunKeys(const std::wstring& quillmere, int count) {
  KeysResults out;
  TargetProcess target({L"--controls", L"canvas", L"--focus", L"canvas", L"--stamp"});
  const std::uint16_t port = qmtest::FreePort();
  QuillmereCopy copy(quillmere, port, "Delivery=keys\r\n");
  if (!target.Ready() || !copy.Running()) {
    out.exe.note = out.typist.note = "target or Quillmere.exe did not start";
    return out;
  }
  target.ComeToFront();
  SOCKET sock = ConnectWithin(port, 10000);
  LogTail tail(target.LogPath());
  GapWatch exeGaps, typistGaps;
  WhilePumping([&] {
    for (int i = 0; i < count; ++i) {
      const std::string code = Code("KEYSWAYQ-", i), typed = Code("KEYSWAYT-", i);
      long long sent = Now();
      qmtest::SendAll(sock, code + "\r\n");
      if (const long long at = WaitEnter(tail, exeGaps, code, kArrivalTimeoutMs))
        out.exe.latencyMs.push_back(static_cast<double>(at - sent) / g_qpcPerMs);
      else
        ++out.exe.lost;
      ::Sleep(kIdleGapMs);
      sent = Now();
      TypeBlock(typed);
      if (const long long at = WaitEnter(tail, typistGaps, typed, kArrivalTimeoutMs))
        out.typist.latencyMs.push_back(static_cast<double>(at - sent) / g_qpcPerMs);
      else
        ++out.typist.lost;
      ::Sleep(kIdleGapMs);
    }
    std::string all;
    for (int i = 0; i < count; ++i) all += Code("KEYSBURST", i) + "\r\n";
    const long long sent = Now();
    qmtest::SendAll(sock, all);
    if (const long long at = WaitEnter(tail, exeGaps, Code("KEYSBURST", count - 1), kArrivalTimeoutMs + count * 100))
      out.exe.perSecond = count * 1000.0 / (static_cast<double>(at - sent) / g_qpcPerMs);
  });
  ::closesocket(sock);
  const auto median = [](std::vector<double> v) { return v.empty() ? -1 : Percentile(v, 0.5); };
  const auto worst = [](const std::vector<double>& v) { return v.empty() ? -1 : *std::max_element(v.begin(), v.end()); };
  out.exeGapMedian = median(exeGaps.gaps);
  out.exeGapMax = worst(exeGaps.gaps);
  out.typistGapMedian = median(typistGaps.gaps);
  out.typistGapMax = worst(typistGaps.gaps);
  return out;
}

// Milliseconds each delivery takes on the main thread, the waits for the
// target on or off.
std::vector<double> DeliveryTimes(bool paste, bool waits, int count) {
  TargetProcess target(TargetOptions(paste));
  if (!target.Ready()) return {};
  ::SetForegroundWindow(target.Main());
  target.Sync();
  qm::SetWaitForTarget(waits);
  std::vector<double> ms;
  for (int i = 0; i < count; ++i) {
    const std::wstring text = L"W" + std::to_wstring(i) + L"\r";
    const long long start = Now();
    qm::SendExternalText(text);
    ms.push_back(static_cast<double>(Now() - start) / g_qpcPerMs);
    // Each delivery finds the target idle, so none pays for the one before.
    target.Sync();
    ::Sleep(kIdleGapMs);
  }
  qm::SetWaitForTarget(true);
  qmtest::PumpFor(300);
  return ms;
}

// One row of the common benchmark table: measure | value | baseline | ratio.
// The ratio reads as times the baseline's cost: value / baseline for
// times, baseline / value for rates.
void Row(const std::string& measure, double value, const std::string& baseline, double base, bool rate = false) {
  if (value < 0) {
    std::printf("| %s | not measured | %s | |\n", measure.c_str(), baseline.c_str());
    return;
  }
  const double ratio = rate ? (value > 0 ? base / value : 0.0) : (base > 0 ? value / base : 0.0);
  std::printf("| %s | %.2f | %.2f (%s) | %.2f |\n", measure.c_str(), value, base, baseline.c_str(), ratio);
}

double Median(const Result& r) { return r.latencyMs.empty() ? -1 : Percentile(r.latencyMs, 0.5); }
double P99(const Result& r) { return r.latencyMs.empty() ? -1 : Percentile(r.latencyMs, 0.99); }

std::string Counted(const Result& r) {
  if (r.latencyMs.empty()) return r.note;
  return "n=" + std::to_string(r.latencyMs.size()) + ", lost " + std::to_string(r.lost) + ", reordered " +
         std::to_string(r.reordered);
}

}  // namespace

int main(int argc, char** argv) {
  int count = 500, pasteCount = 500, keysCount = 500;
  std::wstring quillmere = WinPath(QM_QUILLMERE_EXE);
  for (int i = 1; i + 1 < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--count") count = std::max(2, std::atoi(argv[++i]));
    else if (a == "--paste-count") pasteCount = std::max(2, std::atoi(argv[++i]));
    else if (a == "--keys-count") keysCount = std::max(2, std::atoi(argv[++i]));
    else if (a == "--quillmere") quillmere = Widen(argv[++i]);
  }
  LARGE_INTEGER freq;
  ::QueryPerformanceFrequency(&freq);
  g_qpcPerMs = static_cast<double>(freq.QuadPart) / 1000.0;
  qmtest::WinsockScope winsock;
  qm::TMainThreadQueue::Initialize();

  const WayResults direct = RunWay(false, quillmere, count);
  const WayResults paste = RunWay(true, quillmere, pasteCount);
  const KeysResults keys = RunKeys(quillmere, keysCount);

  // Latency from the client's send to the text in the target's control; the
  // receivers take turns, so all run under the same load.
  const std::string receiver = "WM_SETTEXT-only receiver";
  for (const auto& [way, w] : {std::pair<const char*, const WayResults*>{"direct", &direct}, {"paste", &paste}}) {
    const std::string name = std::string("delivery latency, ") + way + " way, ";
    Row(name + "Quillmere.exe, median ms (" + Counted(w->exe) + ")", Median(w->exe), receiver, Median(w->baseline));
    Row(name + "Quillmere.exe, p99 ms", P99(w->exe), receiver, P99(w->baseline));
    Row(name + "in-process listener and delivery, median ms (" + Counted(w->inProcess) + ")", Median(w->inProcess),
        receiver, Median(w->baseline));
  }
  Row("delivery throughput, direct way, burst of " + std::to_string(count) + ", barcodes/s",
      direct.exe.perSecond > 0 ? direct.exe.perSecond : -1,
      receiver, direct.baseline.perSecond, true);

  // The keys way: 13 characters and Enter, to the Enter in the target.
  const std::string keysName = "delivery latency, keys way (13 characters), Quillmere.exe, ";
  const std::string keysCounted = "n=" + std::to_string(keys.exe.latencyMs.size()) + ", lost " + std::to_string(keys.exe.lost);
  Row(keysName + "median ms (" + keysCounted + ")", Median(keys.exe), "paste way, Quillmere.exe", Median(paste.exe));
  Row(keysName + "median ms", Median(keys.exe), "direct way, Quillmere.exe", Median(direct.exe));
  Row(keysName + "median ms", Median(keys.exe), "one SendInput block from the bench", Median(keys.typist));
  Row(keysName + "p99 ms", P99(keys.exe), "one SendInput block from the bench", P99(keys.typist));
  Row("delivery throughput, keys way, burst of " + std::to_string(keysCount) + ", barcodes/s",
      keys.exe.perSecond > 0 ? keys.exe.perSecond : -1, "direct way, Quillmere.exe", direct.exe.perSecond, true);
  Row("largest gap between two keys of a barcode, keys way, median ms", keys.exeGapMedian,
      "one SendInput block from the bench", keys.typistGapMedian);
  Row("largest gap between two keys of a barcode, keys way, worst ms", keys.exeGapMax,
      "one SendInput block from the bench", keys.typistGapMax);

  // What waiting until the target has taken each barcode adds per delivery.
  const int waitCount = std::min(count, 200), waitPasteCount = std::min(pasteCount, 100);
  const std::vector<double> dOn = DeliveryTimes(false, true, waitCount), dOff = DeliveryTimes(false, false, waitCount);
  const std::vector<double> pOn = DeliveryTimes(true, true, waitPasteCount),
                            pOff = DeliveryTimes(true, false, waitPasteCount);
  for (const auto& [way, on, off] : {std::tuple<const char*, const std::vector<double>*, const std::vector<double>*>{
                                         "direct", &dOn, &dOff},
                                     {"paste", &pOn, &pOff}}) {
    const std::string name = std::string("delivery time with the waits, ") + way + " way, ";
    Row(name + "median ms (n=" + std::to_string(on->size()) + ")", Percentile(*on, 0.5), "without the waits",
        Percentile(*off, 0.5));
    Row(name + "p99 ms", Percentile(*on, 0.99), "without the waits", Percentile(*off, 0.99));
  }
  qm::TMainThreadQueue::Finalize();
  return 0;
}
