#pragma once
// Drives the real Quillmere.exe from another process: a fresh folder per
// run, the main window's components by id, message boxes, the registry,
// Wine's stand-in notification area and real synthesized input.
#include <winsock2.h>
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace qme2e {

// What the log says of the ways and endings when config.ini sets none.
inline const std::wstring kDefaultDelivery = L"录入方式：默认 auto，结尾 enter，按键间隔 0 毫秒";


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

// Holds a file open with the given share mode until destroyed (creating it
// when missing), so that others cannot write it.
class TFileLock {
 public:
  TFileLock(const std::wstring& file, DWORD access, DWORD shareMode);
  ~TFileLock();
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;
  bool Held() const noexcept { return h_ != INVALID_HANDLE_VALUE; }
  void Release();

 private:
  HANDLE h_ = INVALID_HANDLE_VALUE;
};

// One running Quillmere.exe, copied into dir first under exeName.
class TQuillmere {
 public:
  explicit TQuillmere(const TTempDir& dir, const std::wstring& exeName = L"Quillmere.exe");
  ~TQuillmere();  // kills the process if it still runs
  TQuillmere(const TQuillmere&) = delete;
  TQuillmere& operator=(const TQuillmere&) = delete;

  const std::wstring& ExePath() const noexcept { return exe_; }
  // Starts the program and waits for its main window.
  [[nodiscard]] bool Start(int showCmd = SW_SHOWNORMAL, DWORD waitMs = 15000);
  bool Running() const;
  bool WaitForExit(DWORD ms);
  std::optional<DWORD> ExitCode() const;  // none while it runs
  void Kill();

  HWND Main() const noexcept { return main_; }
  DWORD Pid() const noexcept { return pid_; }
  HWND Control(int id) const;  // the descendant of the main window with that id
  std::wstring Text(int id) const;  // id 0: the caption
  void SetText(int id, const std::wstring& text);
  bool Checked(int id) const;
  void PostClick(int id);  // BM_CLICK, posted: the handler may open a modal box
  RECT RectInParent(int id) const;
  RECT ClientRect() const;
  DWORD Style(int id) const;  // id 0: the main window
  // A message sent to the main window and handled by it; false on time-out.
  bool Send(UINT msg, WPARAM wp, LPARAM lp, LRESULT* result = nullptr, DWORD ms = 5000) const;
  void Post(UINT msg, WPARAM wp, LPARAM lp) const;
  // Waits until the main thread has handled what was sent to it before
  // (sent messages, the tray's notifications); posted ones may still wait.
  bool Sync(DWORD ms = 5000) const;
  // Waits until the main thread has dispatched what was posted to it
  // before, in whatever loop it runs (a marker posted to the port box).
  bool SyncPosted(DWORD ms = 5000) const;
  // The threads that run the program's own code, the main thread left out:
  // the listener and the readers, not those of system DLLs (a keyboard
  // hook's, Wine's). Every reader ends only after queuing its last lines.
  std::size_t WorkerThreads() const;
  void MoveMain(int x, int y) const;
  void SizeMain(int width, int height) const;

  // Log entries as the pane shows them ("hh:nn:ss  message").
  std::vector<std::wstring> Log() const;
  // The messages of the log entries, without their time stamps.
  std::vector<std::wstring> LogMessages() const;
  bool WaitLog(const std::function<bool(const std::vector<std::wstring>&)>& pred, DWORD ms) const;
  bool WaitLogContains(const std::wstring& message, DWORD ms) const;
  bool WaitLogSize(std::size_t entries, DWORD ms) const;
  // Displayed lines of the log pane (a wrapped entry counts once per line)
  // and the distance between two lines, in pixels.
  int LogDisplayLines() const;
  int LogLineSpacing() const;

  // The program's icon window in Wine's stand-in notification area: the
  // one that appeared after Start. Null when none shows within ms.
  HWND TrayIcon(DWORD ms = 5000);

 private:
  std::wstring dir_, exe_;
  PROCESS_INFORMATION pi_{};
  HWND main_ = nullptr;
  DWORD pid_ = 0;
  std::vector<HWND> iconsBefore_;
  HWND icon_ = nullptr;
};

// A visible message box of process pid.
struct TMessageBox {
  HWND wnd = nullptr;
  RECT rect{};
  std::wstring title, text;
  bool hasIcon = false;  // an icon image is set and shown
  RECT iconRect{};       // screen coordinates of the icon's static
  std::vector<std::wstring> buttons;  // the visible ones
  std::vector<int> buttonIds;
};
std::optional<TMessageBox> WaitMessageBox(DWORD pid, DWORD ms);
void PressOk(const TMessageBox& box);
bool WaitGone(HWND wnd, DWORD ms);
// True when the box shows the system icon iconId (IDI_*): drawing that icon
// over what the screen shows there changes little.
bool ShowsSystemIcon(const TMessageBox& box, LPCWSTR iconId);

// Saves one registry value and puts it back as it was (or deletes it, when
// it was missing) at destruction.
class TRegValueGuard {
 public:
  TRegValueGuard(HKEY root, std::wstring key, std::wstring name);
  ~TRegValueGuard();
  TRegValueGuard(const TRegValueGuard&) = delete;
  TRegValueGuard& operator=(const TRegValueGuard&) = delete;

 private:
  HKEY root_;
  std::wstring key_, name_;
  bool existed_ = false;
  DWORD type_ = 0;
  std::vector<BYTE> data_;
};

// The auto-start value "Quillmere" under the current user's Run key.
std::optional<std::wstring> RunValue();
void SetRunValue(const std::wstring& data);
void DeleteRunValue();
struct TRunValueGuard : TRegValueGuard {
  TRunValueGuard();
};

std::optional<DWORD> RegDword(HKEY root, const std::wstring& key, const std::wstring& name);
bool SetRegDword(HKEY root, const std::wstring& key, const std::wstring& name, DWORD value);

// Wine's stand-in notification area shows each icon as a small window.
std::vector<HWND> TrayIconWindows();
// A visible tool tip (balloon or plain) of any process showing text.
HWND WaitToolTip(const std::wstring& text, bool balloon, DWORD ms);
// The visible popup menu window ("#32768") of process pid.
HWND WaitPopupMenu(DWORD pid, DWORD ms);
POINT CenterOf(HWND wnd);
// A point near the top of wnd where a click reaches wnd itself: Wine's
// balloon, always on top, covers the lower half of the tray icon.
POINT ClickablePoint(HWND wnd);
RECT ScreenRect(HWND wnd);
// The colour the screen shows at a point of wnd's client area.
COLORREF ClientPixel(HWND wnd, POINT clientPoint);

// Real synthesized mouse input at a screen point. upFlag 0: press only.
// A click waits until it cannot make a double-click with the last press.
void MouseClickAt(POINT pt, DWORD downFlag, DWORD upFlag);
void MouseButton(DWORD flag);  // one press or release where the cursor is
void DoubleClickAt(POINT pt, DWORD downFlag = MOUSEEVENTF_LEFTDOWN, DWORD upFlag = MOUSEEVENTF_LEFTUP);
// Waits until a press now cannot pair with the last one into a double-click.
void WaitPastDoubleClickTime();
void HoverAt(POINT pt);  // moves the cursor there from far away with real motion
// Hovers over a tray icon until its tool tip shows tip; false on time-out.
bool TrayTipShows(HWND icon, const std::wstring& tip, DWORD ms);
void PressKey(WORD vk);
// Presses the keys in order and releases them in reverse (Alt+F4).
void PressChord(std::initializer_list<WORD> keys);

// Waits until pred() holds, polling; false on time-out.
bool WaitFor(const std::function<bool()>& pred, DWORD ms);

// A TCP client of 127.0.0.1:port.
bool CanConnect(std::uint16_t port);
std::uint16_t FreePort();
bool SendLines(std::uint16_t port, const std::string& bytes);
// Another program's listener: holds 0.0.0.0:port while it lives.
class TPortHolder {
 public:
  explicit TPortHolder(std::uint16_t port);
  ~TPortHolder();
  TPortHolder(const TPortHolder&) = delete;
  TPortHolder& operator=(const TPortHolder&) = delete;
  bool Held() const noexcept { return held_; }

 private:
  SOCKET s_ = INVALID_SOCKET;
  bool held_ = false;
};
// 0 when this process can bind 0.0.0.0:port now with SO_EXCLUSIVEADDRUSE
// set, as the program's listener binds, else the Winsock error.
int BindError(std::uint16_t port);
// The failure the listener logs where another program holds port (the error
// this process gets binding it so); empty when the port is free.
std::wstring BindFailureLine(std::uint16_t port);
// The listening line of a listener started on port, "已开始监听 TCP 端口 …".
// A test that expects it makes sure first that nothing else holds the port.
std::wstring ListenerLine(std::int32_t port);
// "本机地址：…": this PC's addresses now with port, from the system's own
// table of adapters.
std::wstring AddressLine(std::uint16_t port);
// All the listener logs as it starts, in order: the listening line, the
// address line, then the allow-list line. Port 0 (of the low 16 bits) lets
// the system choose, and only the listening line can be foretold.
std::vector<std::wstring> ListenerLines(std::int32_t port, const std::wstring& allowLine = L"允许连接的地址：全部");

// UTF-8, so that test failures print Chinese text readably.
std::string U8(const std::wstring& text);
std::vector<std::string> U8(const std::vector<std::wstring>& texts);

// Strips "hh:nn:ss  " from a log entry; returns the entry unchanged when it
// has no stamp.
std::wstring WithoutStamp(const std::wstring& entry);


// ---- Wire, load and fault tests -------------------------------------------------

// A TCP client of 127.0.0.1:port, with the ways a connection can end.
class TTcpClient {
 public:
  // noDelay: every Send leaves as segments of its own, so the program's
  // receives see the writes apart. from: the local address to connect from
  // (host order; another 127.x.x.x is another client to the program).
  // receiveBuffer: SO_RCVBUF, when not 0.
  explicit TTcpClient(std::uint16_t port, bool noDelay = true, std::uint32_t from = 0, int receiveBuffer = 0);
  ~TTcpClient();
  TTcpClient(const TTcpClient&) = delete;
  TTcpClient& operator=(const TTcpClient&) = delete;
  TTcpClient(TTcpClient&& other) noexcept;

  bool Connected() const noexcept { return s_ != INVALID_SOCKET; }
  SOCKET Socket() const noexcept { return s_; }
  bool Send(const std::string& bytes);
  void ShutdownSend();
  // SO_LINGER 0, then close: the program sees a reset, not an orderly close.
  void Reset();
  void Close();
  // What the program sent, until n bytes came, it closed its side (closed
  // set) or ms passed.
  std::string Receive(std::size_t n, DWORD ms, bool* closed = nullptr);
  // True when the program closed its side within ms: a receive returned 0
  // or failed. Without replies the program never sends; a byte from it
  // gives false.
  bool ClosedByPeer(DWORD ms);

 private:
  SOCKET s_ = INVALID_SOCKET;
};

// Shell scripts on the Linux host under Wine (Wine starts Linux programs,
// but its handle to one cannot be waited on: the script reports through a
// file). -1 when there is no host shell or the script did not end in ms.
int RunHostShell(const std::string& script, DWORD ms, std::string* output = nullptr);
bool StartHostShell(const std::string& script);  // in the background

// A peer on a network of its own (a Linux network namespace joined to the
// host by a veth pair), whose packets the test can drop. Needs Wine on
// Linux, as root; Ready() is false and Why() says why elsewhere.
class THostPeer {
 public:
  THostPeer();
  ~THostPeer();  // ends what runs there and removes the namespace
  THostPeer(const THostPeer&) = delete;
  THostPeer& operator=(const THostPeer&) = delete;
  bool Ready() const noexcept { return ready_; }
  const std::string& Why() const noexcept { return why_; }
  std::string HostAddress() const;  // the host's end, as the peer reaches it
  std::uint32_t PeerAddress() const noexcept { return peer_; }  // host order
  // Starts a bash script there, in the background.
  bool Start(const std::string& script);
  // Takes the peer's link down: whatever is sent to it is lost, and it
  // answers nothing.
  bool Cut();

 private:
  std::string ns_, hostLink_, peerLink_, net_;
  std::uint32_t peer_ = 0;
  bool ready_ = false;
  std::string why_;
};

// Memory of another process as the system reports it. Under Wine the server
// reads them from Linux's /proc/<pid>/status: resident is VmRSS, peakResident
// VmHWM, privateBytes RssAnon + VmSwap, addressSpace VmSize.
struct TProcessMemory {
  std::size_t resident = 0, peakResident = 0, privateBytes = 0, addressSpace = 0;
};
std::optional<TProcessMemory> ProcessMemory(DWORD pid);
// Threads of process pid; 0 when it cannot be read.
std::size_t ThreadCount(DWORD pid);

// Reads the lines another process appends to a file, each line once.
class TLogTail {
 public:
  explicit TLogTail(std::wstring file) : file_(std::move(file)) {}
  // The complete lines (without '\n') written since the last call.
  std::vector<std::string> NewLines();

 private:
  std::wstring file_;
  std::uint64_t offset_ = 0;
  std::string partial_;
};

// Asks a window of another process, from a thread of its own, every
// periodMs: WM_NULL and WM_GETTEXT by turns, each sent with a time-out.
class TResponseProbe {
 public:
  TResponseProbe(HWND wnd, DWORD periodMs = 50, DWORD timeoutMs = 5000);
  ~TResponseProbe();  // stops
  TResponseProbe(const TResponseProbe&) = delete;
  TResponseProbe& operator=(const TResponseProbe&) = delete;
  void Stop();
  std::size_t Asked() const noexcept { return asked_.load(); }
  std::size_t Unanswered() const noexcept { return unanswered_.load(); }
  // The longest time a question took, in milliseconds.
  double LongestMs() const noexcept { return longestUs_.load() / 1000.0; }

 private:
  HWND wnd_;
  DWORD periodMs_, timeoutMs_;
  std::atomic<bool> stop_{false};
  std::atomic<std::size_t> asked_{0}, unanswered_{0};
  std::atomic<std::uint64_t> longestUs_{0};
  HANDLE thread_ = nullptr;
  static DWORD WINAPI Run(LPVOID self);
};

// Milliseconds on a steady clock of high resolution.
double NowMs();

}  // namespace qme2e
