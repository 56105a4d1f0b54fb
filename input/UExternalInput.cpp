#include "input/UExternalInput.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "input/BarcodeText.h"
#include "input/InputSearchRules.h"
#include "input/PasteHotkey.h"
#include "platform/Application.h"
#include "platform/InputSynth.h"
#include "platform/MainThreadQueue.h"
#include "platform/ScopeExit.h"
#include "platform/UniqueHandle.h"
#include "platform/WideText.h"

namespace qm {

std::wstring PasteHotkey = L"Ctrl+V";

namespace {

constexpr DWORD kSearchLimitMs = 200;
constexpr DWORD kGiveUpMs = 10000;       // a target still busy this long after the text was sent
constexpr DWORD kSliceMs = 50;           // one send before this thread's messages are handled again
constexpr DWORD kSetTextSliceMs = 200;
constexpr DWORD kAnswersAgainMs = 100;   // a target given up on must answer this fast to be tried
constexpr DWORD kPasteGraceMs = 800;     // for a paste request once every key was handled
constexpr DWORD kPastePauseMs = 40;
constexpr DWORD kActivationMs = 1000;
constexpr int kEagerPolls = 8;  // then 1 ms apart
constexpr int kClipboardTries = 5;
constexpr int kSettleTries = 50;
constexpr DWORD kClipboardRetryMs = 10;
constexpr std::size_t kFileBufferBytes = 4096;
constexpr ULONG_PTR kOwnInputTag = 0x514D4B59;  // marks our own synthesized keys in the hook

HWND g_ownWnd = nullptr;
bool g_waitForTarget = true;
std::vector<HWND> g_givenUp;        // top-level windows given up on, until they answer again
std::vector<DWORD> g_elevatedSeen;  // processes out of reach that were reported

std::wstring ClassNameOf(HWND wnd) {
  wchar_t buf[256];
  int n = ::GetClassNameW(wnd, buf, 256);
  return n > 0 ? std::wstring(buf, static_cast<std::size_t>(n)) : std::wstring();
}

DWORD ProcessOf(HWND wnd) {
  DWORD pid = 0;
  ::GetWindowThreadProcessId(wnd, &pid);
  return pid;
}

HWND RootOf(HWND wnd) {
  HWND root = ::GetAncestor(wnd, GA_ROOT);
  return root ? root : wnd;
}

bool Expired(const TInputSearch& s) {
  return s.Deadline != 0 && DeadlinePassed(::GetTickCount(), s.Deadline);
}

DWORD DeadlineAfter(DWORD ms) {
  if (ms == 0) return 0;
  DWORD deadline = ::GetTickCount() + ms;
  return deadline == 0 ? 1 : deadline;  // 0 would mean none
}

// ---- Keys ------------------------------------------------------------------

HKL ForegroundLayout() {
  HWND fg = ::GetForegroundWindow();
  return ::GetKeyboardLayout(fg ? ::GetWindowThreadProcessId(fg, nullptr) : 0);
}

// One block of key events, which nothing typed by the user can split. Each
// carries its key and, as the scan code, the one the target's layout gives
// that key (KEYEVENTF_SCANCODE would map the scan code back through it).
void SendKeys(const std::vector<TKeyEvent>& keys, HKL layout) {
  if (keys.empty()) return;
  std::vector<INPUT> in(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const UINT scan = ::MapVirtualKeyExW(keys[i].Vk, MAPVK_VK_TO_VSC_EX, layout);
    in[i].type = INPUT_KEYBOARD;
    in[i].ki.wVk = keys[i].Vk;
    in[i].ki.wScan = static_cast<WORD>(scan & 0xFF);
    in[i].ki.dwFlags = (keys[i].Up ? KEYEVENTF_KEYUP : 0) | ((scan & 0xFF00) ? KEYEVENTF_EXTENDEDKEY : 0);
    in[i].ki.dwExtraInfo = kOwnInputTag;
  }
  InputFunctions().SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
}

std::vector<std::uint8_t> HeldModifiers() {
  std::vector<std::uint8_t> held;
  for (std::uint8_t vk : kHeldModifierKeys)
    if (::GetAsyncKeyState(vk) & 0x8000) held.push_back(vk);
  return held;
}

// Which of the modifiers the user held were physically released while ours
// went out: a low-level keyboard hook on a thread of its own (the hook must
// be served while this thread sends input), installed only around such a
// block.
class TReleaseWatch {
 public:
  TReleaseWatch() : stop_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)), ready_(::CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
    released_ = 0;
    ownSeen_ = 0;
    if (!stop_ || !ready_) return;
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (...) {
      return;
    }
    ::WaitForSingleObject(ready_.get(), 500);
  }
  ~TReleaseWatch() {
    if (stop_) ::SetEvent(stop_.get());
    if (thread_.joinable()) thread_.join();
  }
  TReleaseWatch(const TReleaseWatch&) = delete;
  TReleaseWatch& operator=(const TReleaseWatch&) = delete;

  bool Watching() const noexcept { return hooked_; }

  // Once our own count of keys has passed the hook, every physical event
  // before them has too.
  std::vector<std::uint8_t> ReleasedAfter(std::size_t ownKeys) const {
    for (const DWORD start = ::GetTickCount(); ownSeen_ < ownKeys && ::GetTickCount() - start < 200;) ::Sleep(1);
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < std::size(kHeldModifierKeys); ++i)
      if (released_ & (1u << i)) out.push_back(kHeldModifierKeys[i]);
    return out;
  }

 private:
  void Run() {
    HHOOK hook = ::SetWindowsHookExW(WH_KEYBOARD_LL, &Proc, ::GetModuleHandleW(nullptr), 0);
    hooked_ = hook != nullptr;
    ::SetEvent(ready_.get());
    HANDLE stop = stop_.get();
    MSG msg;
    while (hook && ::MsgWaitForMultipleObjects(1, &stop, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1)
      while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&msg);
    if (hook) ::UnhookWindowsHookEx(hook);
  }

  static LRESULT CALLBACK Proc(int code, WPARAM wp, LPARAM lp) {
    if (code == HC_ACTION) {
      const auto* k = reinterpret_cast<const KBDLLHOOKSTRUCT*>(lp);
      if (k->flags & LLKHF_INJECTED) {
        if (k->dwExtraInfo == kOwnInputTag) ++ownSeen_;
      } else if (k->flags & LLKHF_UP) {
        for (std::size_t i = 0; i < std::size(kHeldModifierKeys); ++i)
          if (k->vkCode == kHeldModifierKeys[i]) released_ |= 1u << i;
      }
    }
    return ::CallNextHookEx(nullptr, code, wp, lp);
  }

  static inline std::atomic<std::uint32_t> released_{0};
  static inline std::atomic<std::size_t> ownSeen_{0};
  UniqueKernelHandle stop_, ready_;
  std::atomic<bool> hooked_{false};
  std::thread thread_;
};

std::optional<TKeyCombo> PasteCombo() {
  return ParsePasteHotkey(ToU16(PasteHotkey), [](char16_t c) { return LOBYTE(::VkKeyScanW(static_cast<wchar_t>(c))); });
}

// ---- Waiting for the target ----------------------------------------------

// The paste way's marker: an unassigned key pressed after the paste keys and
// the Enter. The key state of a thread changes as it takes key messages from
// its input, and a thread attached to that input shares it: once the marker
// shows as down there, the target has handled every key before it, and the
// WM_CHAR messages they were translated into, which are posted and so go
// before further input. While attached, this thread's own input waits behind
// the target's: the marker lets go before any of it is handled.
class TInputMarker {
 public:
  static constexpr BYTE kKey = 0xE8;

  // Attaching resets the shared key state, so it happens before any key.
  // The shared focus must then be the target's: were it one of ours, the
  // keys would go to it.
  explicit TInputMarker(DWORD thread)
      : self_(::GetCurrentThreadId()),
        thread_(thread),
        attached_(thread != 0 && thread != self_ && ::AttachThreadInput(self_, thread, TRUE)) {
    const HWND focus = ::GetFocus();
    if (attached_ && focus && ::GetWindowThreadProcessId(focus, nullptr) != thread_) Detach();
  }
  ~TInputMarker() {
    if (pressed_) SendKeys({{kKey, true}}, ::GetKeyboardLayout(0));
    Detach();
  }
  TInputMarker(const TInputMarker&) = delete;
  TInputMarker& operator=(const TInputMarker&) = delete;

  bool Attached() const noexcept { return attached_; }
  void Detach() {
    if (attached_) ::AttachThreadInput(self_, thread_, FALSE);
    attached_ = false;
  }
  void Press() {
    SendKeys({{kKey, false}}, ::GetKeyboardLayout(0));
    pressed_ = true;
  }
  bool Reached() const { return attached_ && (::GetKeyState(kKey) & 0x8000) != 0; }

 private:
  const DWORD self_, thread_;
  bool attached_;
  bool pressed_ = false;
};

enum class TWaitEnd { kDone, kTimedOut, kHung, kGone, kEnded };

// The waits for one target. They end when it is done, when Windows counts
// it as hung (no message taken for about 5 s), 10 s after the start, or
// when the program exits. Meanwhile this thread's messages are handled, so
// the program's window paints and answers; queued barcodes wait their turn.
class TTargetWait {
 public:
  explicit TTargetWait(HWND target) : root_(RootOf(target)), start_(::GetTickCount()) {}

  void WatchMarker(TInputMarker* marker) noexcept { marker_ = marker; }
  HWND Root() const noexcept { return root_; }

  TWaitEnd Check() const {
    if (ended_ || TApplication::Terminated()) return TWaitEnd::kEnded;
    if (!::IsWindow(root_)) return TWaitEnd::kGone;
    if (::GetTickCount() - start_ >= kGiveUpMs || ::IsHungAppWindow(root_)) return TWaitEnd::kHung;
    return TWaitEnd::kDone;
  }
  DWORD Left() const {
    const DWORD elapsed = ::GetTickCount() - start_;
    return elapsed >= kGiveUpMs ? 0 : kGiveUpMs - elapsed;
  }

  // Until done() holds; kTimedOut after limitMs when one is given.
  template <typename Done>
  TWaitEnd Until(Done done, DWORD limitMs = INFINITE) {
    const DWORD begin = ::GetTickCount();
    for (;;) {
      if (done()) return TWaitEnd::kDone;
      if (const TWaitEnd end = Check(); end != TWaitEnd::kDone) return end;
      if (limitMs != INFINITE && ::GetTickCount() - begin >= limitMs) return TWaitEnd::kTimedOut;
      ::MsgWaitForMultipleObjectsEx(0, nullptr, 1, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
      Pump();
    }
  }

  // A message that only reads, or sets what it sets again harmlessly: sent
  // in slices, this thread's messages handled between them.
  TWaitEnd Ask(HWND wnd, UINT msg, WPARAM wp, LPARAM lp, DWORD_PTR& result) {
    for (;;) {
      if (const TWaitEnd end = Check(); end != TWaitEnd::kDone) return end;
      result = 0;
      if (::SendMessageTimeoutW(wnd, msg, wp, lp, SMTO_ABORTIFHUNG, std::min(kSliceMs, std::max<DWORD>(Left(), 1)),
                                &result))
        return TWaitEnd::kDone;
      if (!::IsWindow(wnd)) return TWaitEnd::kGone;
      Pump();
    }
  }
  TWaitEnd RoundTrip(HWND wnd) {
    DWORD_PTR ignored = 0;
    return Ask(wnd, WM_NULL, 0, 0, ignored);
  }

 private:
  // Every message waiting now. Anything for one of the program's windows
  // may need its input (a menu, a box), which waits behind the target's while
  // the marker shares it: the marker lets go first.
  void Pump() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) {
        ::PostQuitMessage(static_cast<int>(msg.wParam));  // for the loop that owns it
        ended_ = true;
        return;
      }
      if (marker_ && msg.hwnd && msg.message != WM_PAINT && msg.message != WM_TIMER &&
          ::GetAncestor(RootOf(msg.hwnd), GA_PARENT) == ::GetDesktopWindow())
        marker_->Detach();
      ::TranslateMessage(&msg);
      ::DispatchMessageW(&msg);
    }
  }

  const HWND root_;
  const DWORD start_;
  TInputMarker* marker_ = nullptr;
  bool ended_ = false;
};

// Round trips to the target's thread; each one it answers has usually let
// it take one more message from its queue first. Only where nothing better
// can be observed.
TWaitEnd LetTargetCatchUp(HWND wnd, int trips, TTargetWait& wait) {
  for (int i = 0; i < trips; ++i) {
    if (const TWaitEnd end = wait.RoundTrip(wnd); end != TWaitEnd::kDone) return end;
    ::SwitchToThread();
  }
  return TWaitEnd::kDone;
}

bool IsGivenUp(HWND root) { return std::find(g_givenUp.begin(), g_givenUp.end(), root) != g_givenUp.end(); }

void GiveUp(HWND root) {
  if (!IsGivenUp(root)) g_givenUp.push_back(root);
  // Windows that are gone are forgotten, so the list stays small.
  g_givenUp.erase(std::remove_if(g_givenUp.begin(), g_givenUp.end(), [](HWND w) { return !::IsWindow(w); }),
                  g_givenUp.end());
}

TNotEntered ReasonOf(TWaitEnd end) {
  switch (end) {
    case TWaitEnd::kHung:
    case TWaitEnd::kTimedOut: return TNotEntered::kHung;
    case TWaitEnd::kGone: return TNotEntered::kNoWindow;
    case TWaitEnd::kEnded: return TNotEntered::kEnded;
    case TWaitEnd::kDone: break;
  }
  return TNotEntered::kNone;
}

// ---- Integrity levels ------------------------------------------------------

std::optional<std::uint32_t> IntegrityOf(HANDLE process) {
  HANDLE raw = nullptr;
  if (!::OpenProcessToken(process, TOKEN_QUERY, &raw)) return std::nullopt;
  UniqueKernelHandle token(raw);
  DWORD size = 0;
  ::GetTokenInformation(token.get(), TokenIntegrityLevel, nullptr, 0, &size);
  if (size < sizeof(TOKEN_MANDATORY_LABEL)) return std::nullopt;
  std::vector<BYTE> buf(size);
  if (!::GetTokenInformation(token.get(), TokenIntegrityLevel, buf.data(), size, &size)) return std::nullopt;
  PSID sid = reinterpret_cast<TOKEN_MANDATORY_LABEL*>(buf.data())->Label.Sid;
  if (!sid || !::IsValidSid(sid) || *::GetSidSubAuthorityCount(sid) == 0) return std::nullopt;
  return *::GetSidSubAuthority(sid, *::GetSidSubAuthorityCount(sid) - 1u);
}

std::optional<std::uint32_t> OwnIntegrity() {
  static const std::optional<std::uint32_t> own = IntegrityOf(::GetCurrentProcess());
  return own;
}

std::optional<std::uint32_t> ProcessIntegrity(DWORD pid) {
  UniqueKernelHandle process(::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
  return process ? IntegrityOf(process.get()) : std::nullopt;
}

// Whether a barcode may be tried on this window at all: not when Windows
// would drop our messages and keys (a higher integrity level), nor when it
// was given up on and still does not answer.
std::optional<TDeliveryOutcome> Unreachable(HWND wnd) {
  const HWND root = RootOf(wnd);
  if (IsGivenUp(root)) {
    DWORD_PTR ignored = 0;
    if (!::SendMessageTimeoutW(root, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kAnswersAgainMs, &ignored))
      return TDeliveryOutcome{TNotEntered::kHung};
    g_givenUp.erase(std::find(g_givenUp.begin(), g_givenUp.end(), root));
  }
  if (::IsHungAppWindow(root)) {
    GiveUp(root);
    return TDeliveryOutcome{TNotEntered::kHung};
  }
  const DWORD pid = ProcessOf(root);
  if (TargetOutOfReach(OwnIntegrity(), ProcessIntegrity(pid))) {
    const bool first = std::find(g_elevatedSeen.begin(), g_elevatedSeen.end(), pid) == g_elevatedSeen.end();
    if (first) g_elevatedSeen.push_back(pid);
    return TDeliveryOutcome{TNotEntered::kElevated, first};
  }
  return std::nullopt;
}

// ---- The search -------------------------------------------------------------

BOOL CALLBACK FirstCandidateProc(HWND wnd, LPARAM lp) noexcept {
  auto& s = *reinterpret_cast<TInputSearch*>(lp);
  if (Expired(s)) return FALSE;
  if (!IsCandidateWindow(wnd, s.ExcludeWnd, s.ExcludePid)) return TRUE;
  s.FrontWnd = wnd;
  return FALSE;
}

// The window the user works in: the foreground window, or the one that was
// in front before the program's own window came up. thread is its thread
// when that was read on the way, else 0.
HWND FrontWindow(TInputSearch& s, DWORD& thread) {
  s.FrontWnd = nullptr;
  thread = 0;
  HWND fg = ::GetForegroundWindow();
  if (fg && fg != s.ExcludeWnd && ::IsWindowVisible(fg)) {
    DWORD pid = 0;
    DWORD fgThread = ::GetWindowThreadProcessId(fg, &pid);
    if (s.ExcludePid == 0 || pid != s.ExcludePid) {
      thread = fgThread;
      return s.FrontWnd = fg;
    }
  }
  if (s.ExcludeWnd && ::IsWindow(s.ExcludeWnd)) {
    for (HWND w = ::GetWindow(s.ExcludeWnd, GW_HWNDNEXT); w && !Expired(s); w = ::GetWindow(w, GW_HWNDNEXT))
      if (IsCandidateWindow(w, s.ExcludeWnd, s.ExcludePid)) return s.FrontWnd = w;
    return nullptr;
  }
  ::EnumWindows(&FirstCandidateProc, reinterpret_cast<LPARAM>(&s));
  return s.FrontWnd;
}

TControlFacts FactsOf(HWND wnd, const std::wstring& cls) {
  return ControlFacts(ToU16(cls), static_cast<std::uint32_t>(::GetWindowLongW(wnd, GWL_STYLE)),
                      ::IsWindowVisible(wnd) != FALSE, ::IsWindowEnabled(wnd) != FALSE);
}

// The first control inside parent the search may write, depth-first from the
// top of the z-order, refined to such a control inside it.
bool FindCandidate(HWND parent, HWND& found, TControlFacts& facts) {
  found = nullptr;
  if (!parent) return false;
  for (HWND child = ::GetWindow(parent, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    const TControlFacts f = FactsOf(child, ClassNameOf(child));
    if (IsSearchCandidate(f)) {
      HWND nested = nullptr;
      if (FindCandidate(child, nested, facts) && nested) {
        found = nested;
      } else {
        found = child;
        facts = f;
      }
      return true;
    }
    if (FindCandidate(child, found, facts)) return true;
  }
  return false;
}

std::optional<GUITHREADINFO> GuiThreadInfo(DWORD thread) {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  if (thread == 0 || !::GetGUIThreadInfo(thread, &info)) return std::nullopt;
  return info;
}

// The control with the keyboard focus inside front, or 0 when the focus is
// front itself or outside it.
HWND FocusedChild(HWND front, DWORD thread) {
  if (thread == 0) thread = ::GetWindowThreadProcessId(front, nullptr);
  const std::optional<GUITHREADINFO> info = GuiThreadInfo(thread);
  const HWND focus = info ? info->hwndFocus : nullptr;
  return focus && focus != front && ::IsChild(front, focus) ? focus : nullptr;
}

// A search from the window in front that never returns the program's own.
TInputSearch SearchFrom(HWND excludedWnd, DWORD excludedPid, DWORD timeLimitMs) {
  TInputSearch search;
  search.ExcludeWnd = excludedWnd;
  search.ExcludePid = excludedPid;
  search.Deadline = DeadlineAfter(timeLimitMs);
  return search;
}

void FindInput(TInputSearch& search) {
  search.FoundWnd = nullptr;
  DWORD thread = 0;
  const HWND front = FrontWindow(search, thread);
  if (!front) return;
  if (const HWND focus = FocusedChild(front, thread)) {
    const TControlFacts facts = FactsOf(focus, ClassNameOf(focus));
    if (WayForFocus(facts) != TWay::kDirect) return;  // the keys go where the focus is
    HWND inner = nullptr;
    TControlFacts innerFacts;
    search.FoundWnd = FindCandidate(focus, inner, innerFacts) && inner && !innerFacts.MultiLine ? inner : focus;
    return;
  }
  HWND found = nullptr;
  TControlFacts facts;
  if (FindCandidate(front, found, facts) && !facts.MultiLine) search.FoundWnd = found;
}

// ---- The clipboard ----------------------------------------------------------

// Put beside the text so that clipboard history, the cloud clipboard and
// clipboard monitors leave it alone: every barcode would land there.
void MarkPrivate() {
  static const UINT exclude = ::RegisterClipboardFormatW(L"ExcludeClipboardContentFromMonitorProcessing");
  static const UINT history = ::RegisterClipboardFormatW(L"CanIncludeInClipboardHistory");
  static const UINT cloud = ::RegisterClipboardFormatW(L"CanUploadToCloudClipboard");
  for (UINT format : {exclude, history, cloud}) {
    if (!format) continue;
    UniqueHglobal zero(::GlobalAlloc(GMEM_MOVEABLE, sizeof(DWORD)));
    if (!zero) continue;
    if (auto* p = static_cast<DWORD*>(::GlobalLock(zero.get()))) {
      *p = 0;
      ::GlobalUnlock(zero.get());
      if (::SetClipboardData(format, zero.get())) (void)zero.release();
    }
  }
}

// The clipboard text is promised (delayed rendering) and handed over when a
// reader asks for it: a request of the target's is the sign that the paste
// was taken, so the next barcode may replace the clipboard.
class TClipboardOffer {
 public:
  static TClipboardOffer& Instance() {
    static TClipboardOffer offer;
    return offer;
  }

  [[nodiscard]] bool Offer(UniqueHglobal block) {
    HWND owner = Owner();
    if (!owner) return false;
    bool open = false;
    // Clipboard viewers open it for a moment on every change.
    for (int i = 0; i < kClipboardTries && !(open = ::OpenClipboard(owner)); ++i) ::Sleep(kClipboardRetryMs);
    if (!open) return false;
    ScopeExit close([] { ::CloseClipboard(); });
    ::EmptyClipboard();  // the previous offer, if still pending, is dropped here
    ::SetClipboardData(CF_UNICODETEXT, nullptr);
    MarkPrivate();
    if (::GetClipboardOwner() != owner || !::IsClipboardFormatAvailable(CF_UNICODETEXT)) return false;
    block_ = std::move(block);
    rendered_ = false;
    takerPid_ = 0;
    return true;
  }

  // Asked for by the target, or by a reader we cannot name (one that opened
  // the clipboard without a window).
  bool TakenBy(DWORD targetPid) const noexcept { return rendered_ && (takerPid_ == targetPid || takerPid_ == 0); }
  // Another program made the text render: whether the target pasted it too
  // can no longer be seen.
  bool RenderedElsewhere(DWORD targetPid) const noexcept {
    return rendered_ && takerPid_ != 0 && takerPid_ != targetPid;
  }

  // The text stays on the clipboard after the delivery (and the program)
  // whether or not anybody took it; another program holding the clipboard
  // for a moment does not stop that.
  void Settle() {
    HWND owner = Owner();
    if (!block_ || !owner) return;
    bool open = false;
    for (int i = 0; i < kSettleTries && !(open = ::OpenClipboard(owner)); ++i) ::Sleep(kClipboardRetryMs);
    if (!open) return;
    ScopeExit close([] { ::CloseClipboard(); });
    if (::GetClipboardOwner() == owner && ::SetClipboardData(CF_UNICODETEXT, block_.get())) (void)block_.release();
  }

 private:
  HWND Owner() {
    if (owner_ && ::IsWindow(owner_)) return owner_;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &Proc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"QuillmereClipboardOwner";
    ::RegisterClassExW(&wc);
    owner_ = ::CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, wc.hInstance, nullptr);
    return owner_;
  }

  static LRESULT CALLBACK Proc(HWND wnd, UINT msg, WPARAM wp, LPARAM lp) noexcept {
    TClipboardOffer& self = Instance();
    switch (msg) {
      case WM_RENDERFORMAT:
        if (wp == CF_UNICODETEXT && self.block_) {
          HWND reader = ::GetOpenClipboardWindow();
          self.takerPid_ = reader ? ProcessOf(reader) : 0;
          self.rendered_ = true;
          if (::SetClipboardData(CF_UNICODETEXT, self.block_.get())) (void)self.block_.release();
          self.block_.reset();
        }
        return 0;
      case WM_RENDERALLFORMATS:
        self.Settle();
        return 0;
      case WM_DESTROYCLIPBOARD:
        self.block_.reset();
        return 0;
      default:
        return ::DefWindowProcW(wnd, msg, wp, lp);
    }
  }

  HWND owner_ = nullptr;
  UniqueHglobal block_;  // the promised text, until somebody takes it
  bool rendered_ = false;
  DWORD takerPid_ = 0;
};

// ---- The direct way ----------------------------------------------------------

// The direct way's marker: a change of the control's text limit, posted
// behind the Enter and read back with a sent EM_GETLIMITTEXT. Posted
// messages are taken in order, so once the change shows, the thread has
// dispatched everything posted before it.
DWORD Shifted(DWORD limit) { return limit > 1 ? limit - 1 : limit + 1; }  // 0 would mean no limit

// The control whose posted text limits were last checked, and the outcome;
// a control that ignores them would otherwise cost a wait each time.
HWND g_limitChecked = nullptr;
bool g_limitMarks = false;

// The control's text limit when a posted change of it can be observed, else
// 0: the control does not answer EM_GETLIMITTEXT, or ignores EM_SETLIMITTEXT.
TWaitEnd MarkableLimit(HWND control, TTargetWait& wait, DWORD& markable) {
  markable = 0;
  DWORD_PTR limit = 0, probe = 0, ignored = 0;
  if (const TWaitEnd end = wait.Ask(control, EM_GETLIMITTEXT, 0, 0, limit); end != TWaitEnd::kDone) return end;
  if (limit == 0) return TWaitEnd::kDone;
  if (control == g_limitChecked) {
    markable = g_limitMarks ? static_cast<DWORD>(limit) : 0;
    return TWaitEnd::kDone;
  }
  const DWORD shifted = Shifted(static_cast<DWORD>(limit));
  TWaitEnd end = wait.Ask(control, EM_SETLIMITTEXT, shifted, 0, ignored);
  if (end == TWaitEnd::kDone) end = wait.Ask(control, EM_GETLIMITTEXT, 0, 0, probe);
  // Posted, so it comes after any of ours still on its way.
  if (end != TWaitEnd::kDone || probe != limit) (void)::PostMessageW(control, EM_SETLIMITTEXT, limit, 0);
  if (end != TWaitEnd::kDone) return end;
  g_limitChecked = control;
  g_limitMarks = probe == shifted;
  markable = g_limitMarks ? static_cast<DWORD>(limit) : 0;
  return TWaitEnd::kDone;
}

// Reads the limit until done(limit) holds.
template <typename Done>
TWaitEnd PollLimit(HWND control, TTargetWait& wait, Done done, DWORD& seen) {
  for (int polls = 0;; ++polls) {
    DWORD_PTR limit = 0;
    if (const TWaitEnd end = wait.Ask(control, EM_GETLIMITTEXT, 0, 0, limit); end != TWaitEnd::kDone) return end;
    seen = static_cast<DWORD>(limit);
    if (done(seen)) return TWaitEnd::kDone;
    // A sent message is taken before posted ones: leave the thread room to
    // reach the marker instead of answering the next poll at once.
    if (polls < kEagerPolls) ::SwitchToThread();
    else ::Sleep(1);
  }
}

// Posts Enter to the control as a typed key arrives: the key-down, then,
// once the thread has dispatched it (and so posted its WM_CHAR), the key-up;
// and waits until the key-up and everything before it were dispatched. The
// first marker follows the key-down, the second the key-up.
TWaitEnd PostEnter(HWND control, DWORD limit, TTargetWait* wait) {
  const UINT scan = ::MapVirtualKeyExW(VK_RETURN, MAPVK_VK_TO_VSC,
                                       ::GetKeyboardLayout(::GetWindowThreadProcessId(control, nullptr)));
  const auto post = [control, scan](UINT msg, bool up) {
    return ::PostMessageW(control, msg, VK_RETURN, KeyMessageLParam(static_cast<std::uint16_t>(scan), false, up)) != FALSE;
  };
  if (!post(WM_KEYDOWN, false)) return ::IsWindow(control) ? TWaitEnd::kHung : TWaitEnd::kGone;
  if (!wait) return post(WM_KEYUP, true) ? TWaitEnd::kDone : TWaitEnd::kHung;
  if (limit == 0) {
    // Nothing to observe: a sent message goes before posted ones, so the
    // first round trip may come before the key-down, the next after it.
    if (const TWaitEnd end = LetTargetCatchUp(control, 2, *wait); end != TWaitEnd::kDone) return end;
    if (!post(WM_KEYUP, true)) return TWaitEnd::kHung;
    return LetTargetCatchUp(control, 3, *wait);
  }
  const DWORD shifted = Shifted(limit);
  if (!::PostMessageW(control, EM_SETLIMITTEXT, shifted, 0)) return TWaitEnd::kHung;
  DWORD seen = limit;
  if (const TWaitEnd end = PollLimit(control, *wait, [limit](DWORD v) { return v != limit; }, seen);
      end != TWaitEnd::kDone) {
    (void)::PostMessageW(control, EM_SETLIMITTEXT, limit, 0);  // undoes the first marker when it comes
    (void)post(WM_KEYUP, true);
    return end;
  }
  // A limit that the Enter handler set itself, seen before the first marker
  // came, is the one to keep.
  const DWORD restore = seen == shifted ? limit : seen;
  if (!post(WM_KEYUP, true) || !::PostMessageW(control, EM_SETLIMITTEXT, restore, 0)) return TWaitEnd::kHung;
  return PollLimit(control, *wait, [restore](DWORD v) { return v == restore; }, seen);
}

TWaitEnd ReadText(HWND control, TTargetWait& wait, std::wstring& text) {
  DWORD_PTR length = 0;
  if (const TWaitEnd end = wait.Ask(control, WM_GETTEXTLENGTH, 0, 0, length); end != TWaitEnd::kDone) return end;
  std::wstring buf(static_cast<std::size_t>(length) + 1, L'\0');
  DWORD_PTR copied = 0;
  if (const TWaitEnd end = wait.Ask(control, WM_GETTEXT, buf.size(), reinterpret_cast<LPARAM>(buf.data()), copied);
      end != TWaitEnd::kDone)
    return end;
  buf.resize(std::min<std::size_t>(copied, length));
  text = std::move(buf);
  return TWaitEnd::kDone;
}

// WM_SETTEXT once the target is taking messages. One that takes long has
// either not been taken (Windows withdraws it when the send gives up) or is
// running with our text (a change handler at work): the text tells which.
TWaitEnd SetControlText(HWND control, const std::wstring& text, TTargetWait& wait, bool& refused) {
  refused = false;
  for (;;) {
    if (const TWaitEnd end = wait.RoundTrip(control); end != TWaitEnd::kDone) return end;
    DWORD_PTR result = 0;
    if (::SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                              std::min(kSetTextSliceMs, std::max<DWORD>(wait.Left(), 1)), &result)) {
      refused = result == FALSE || static_cast<LRESULT>(result) == CB_ERR;
      return TWaitEnd::kDone;
    }
    if (!::IsWindow(control)) return TWaitEnd::kGone;
    std::wstring now;
    if (const TWaitEnd end = ReadText(control, wait, now); end != TWaitEnd::kDone) return end;
    if (now == text) return TWaitEnd::kDone;
  }
}

// ---- The paste way -----------------------------------------------------------

HWND FocusOf(HWND front) {
  const std::optional<GUITHREADINFO> info = GuiThreadInfo(::GetWindowThreadProcessId(front, nullptr));
  return info && info->hwndFocus ? info->hwndFocus : front;
}

TDeliveryOutcome Paste(const std::wstring& text, bool enterWanted) {
  if (text.empty()) return {};  // nothing to paste, and no field to press Enter in
  if (!SetClipboardText(text)) return {TNotEntered::kClipboardBusy};
  ScopeExit settle([] { TClipboardOffer::Instance().Settle(); });
  const HWND target = PickTargetWindow(g_ownWnd, ::GetCurrentProcessId());
  if (!target) return {TNotEntered::kNoWindow};
  if (std::optional<TDeliveryOutcome> out = Unreachable(target)) return *out;
  (void)ForceForegroundWindow(target);
  TMainThreadQueue::HandlePendingMessages();
  ::Sleep(kPastePauseMs);

  // Keys typed with the target not in front would land elsewhere.
  const HWND fg = ::GetForegroundWindow();
  const DWORD targetPid = ProcessOf(target);
  if (!fg || ProcessOf(fg) != targetPid) return {TNotEntered::kNoWindow};
  // The target activates itself in its own time, giving the focus back to
  // its control: the keys are for that control.
  const DWORD fgThread = ::GetWindowThreadProcessId(fg, nullptr);
  {
    TTargetWait activation(fg);
    const auto active = [fg, fgThread] {
      const std::optional<GUITHREADINFO> info = GuiThreadInfo(fgThread);
      return info && info->hwndActive == fg;
    };
    if (const TWaitEnd end = activation.Until(active, kActivationMs); end != TWaitEnd::kDone && end != TWaitEnd::kTimedOut) {
      if (end == TWaitEnd::kHung) GiveUp(activation.Root());
      return {ReasonOf(end)};
    }
  }
  const std::optional<TKeyCombo> combo = PasteCombo();
  if (!combo && !enterWanted) return {};
  TInputMarker marker(g_waitForTarget ? fgThread : 0);
  TTargetWait wait(fg);  // from the moment the keys are sent
  if (combo) SendPasteHotkey();
  if (enterWanted) PressKeyCombo(false, false, false, VK_RETURN);
  if (!g_waitForTarget) return {};

  TWaitEnd end = TWaitEnd::kDone;
  if (marker.Attached()) {
    marker.Press();
    wait.WatchMarker(&marker);
    end = wait.Until([&marker] { return !marker.Attached() || marker.Reached(); });
    wait.WatchMarker(nullptr);
  }
  // Without the marker: the keys are handled within a few of the target's
  // messages, as a rule.
  if (end == TWaitEnd::kDone && !marker.Reached()) end = LetTargetCatchUp(FocusOf(fg), 8, wait);
  if (end == TWaitEnd::kDone && combo) {
    // Every key was handled; a request for the text may still be on its way.
    TClipboardOffer& offer = TClipboardOffer::Instance();
    end = wait.Until([&] { return offer.TakenBy(targetPid) || offer.RenderedElsewhere(targetPid); }, kPasteGraceMs);
    if (end == TWaitEnd::kTimedOut) return {TNotEntered::kPasteRefused};
  }
  if (end == TWaitEnd::kHung) GiveUp(wait.Root());
  return {ReasonOf(end)};
}

TDeliveryOutcome Deliver(const std::wstring& text) {
  const TDeliveryText parts = StripTrailingBreaks(ToU16(text));
  const std::wstring stripped = ToWide(parts.Text);
  // Written once the text is in, so the file costs the user no time.
  ScopeExit file([&text] { WriteBarcodeFile(text); });
  if (TApplication::Terminated()) return {TNotEntered::kEnded};

  TInputSearch search = SearchFrom(g_ownWnd, ::GetCurrentProcessId(), kSearchLimitMs);
  FindInputControl(search);
  if (!search.FrontWnd) return {TNotEntered::kNoWindow};
  if (std::optional<TDeliveryOutcome> out = Unreachable(search.FrontWnd)) return *out;
  if (search.FoundWnd) {
    switch (SendTextToControl(search.FoundWnd, stripped, parts.EnterWanted)) {
      case TDirectResult::kEntered: return {};
      case TDirectResult::kRefused: break;  // the paste way, with no Enter sent yet
      case TDirectResult::kHung: GiveUp(RootOf(search.FrontWnd)); return {TNotEntered::kHung};
      case TDirectResult::kGone: return {TNotEntered::kNoWindow};
      case TDirectResult::kEnded: return {TNotEntered::kEnded};
    }
  }
  return Paste(stripped, parts.EnterWanted);
}

TDirectResult DirectResultOf(TWaitEnd end) {
  switch (end) {
    case TWaitEnd::kDone: return TDirectResult::kEntered;
    case TWaitEnd::kGone: return TDirectResult::kGone;
    case TWaitEnd::kEnded: return TDirectResult::kEnded;
    case TWaitEnd::kHung:
    case TWaitEnd::kTimedOut: break;
  }
  return TDirectResult::kHung;
}

}  // namespace

void SetOwnWindow(HWND wnd) noexcept { g_ownWnd = wnd; }
HWND OwnWindow() noexcept { return g_ownWnd; }
void SetWaitForTarget(bool wait) noexcept { g_waitForTarget = wait; }

bool IsInputClassName(std::wstring_view className) noexcept {
  return qm::IsInputClassName(std::u16string_view(reinterpret_cast<const char16_t*>(className.data()), className.size()));
}

bool FindInputChild(HWND parent, HWND& found) {
  TControlFacts facts;
  return FindCandidate(parent, found, facts);
}

bool IsCandidateWindow(HWND wnd, HWND excludedWnd, DWORD excludedPid) {
  if (!wnd || wnd == excludedWnd || !::IsWindow(wnd) || !::IsWindowVisible(wnd)) return false;
  if (excludedPid != 0 && ProcessOf(wnd) == excludedPid) return false;
  const LONG ex = ::GetWindowLongW(wnd, GWL_EXSTYLE);
  return (ex & (WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE)) == 0;
}

void FindInputControl(TInputSearch& search) { FindInput(search); }

HWND FindInputControl(HWND excludedWnd, DWORD excludedPid, DWORD timeLimitMs) {
  TInputSearch search = SearchFrom(excludedWnd, excludedPid, timeLimitMs);
  FindInputControl(search);
  return search.FoundWnd;
}

bool IsMultiLineControl(HWND control) { return FactsOf(control, ClassNameOf(control)).MultiLine; }

TDirectResult SendTextToControl(HWND control, const std::wstring& text, bool pressEnter) {
  TTargetWait wait(control);
  bool refused = false;
  if (const TWaitEnd end = SetControlText(control, text, wait, refused); end != TWaitEnd::kDone)
    return DirectResultOf(end);
  if (refused) return TDirectResult::kRefused;
  if (!pressEnter) return TDirectResult::kEntered;
  DWORD limit = 0;
  if (g_waitForTarget) {
    if (const TWaitEnd end = MarkableLimit(control, wait, limit); end != TWaitEnd::kDone) return DirectResultOf(end);
  }
  // Posted, not sent: the target's own loop must see them (dialog default
  // buttons, key previews); forms that act on the release get it too. The
  // next text may replace this one once they were handled.
  return DirectResultOf(PostEnter(control, limit, g_waitForTarget ? &wait : nullptr));
}

bool SetClipboardText(const std::wstring& text) {
  if (text.empty()) return false;
  UniqueHglobal block(::GlobalAlloc(GMEM_MOVEABLE | GMEM_DDESHARE, (text.size() + 1) * sizeof(wchar_t)));
  if (!block) return false;
  auto* units = static_cast<wchar_t*>(::GlobalLock(block.get()));
  if (!units) return false;
  std::memcpy(units, text.data(), text.size() * sizeof(wchar_t));
  units[text.size()] = L'\0';
  ::GlobalUnlock(block.get());
  return TClipboardOffer::Instance().Offer(std::move(block));
}

HWND PickTargetWindow(HWND ownWnd, DWORD ownPid) {
  TInputSearch search = SearchFrom(ownWnd, ownPid, 0);  // no time limit
  DWORD thread = 0;
  return FrontWindow(search, thread);
}

bool ForceForegroundWindow(HWND wnd) {
  if (!wnd || !::IsWindow(wnd)) return false;
  const HWND fg = ::GetForegroundWindow();
  if (fg == wnd) return true;  // the user's window stays exactly as it is
  // Asynchronous: a target that does not answer cannot hold this thread.
  if (::IsIconic(wnd)) ::ShowWindowAsync(wnd, SW_RESTORE);
  // Sharing the foreground thread's input lets SetForegroundWindow through.
  const DWORD self = ::GetCurrentThreadId();
  const DWORD fgThread = fg ? ::GetWindowThreadProcessId(fg, nullptr) : 0;
  const bool attach = fgThread != 0 && fgThread != self && ::AttachThreadInput(self, fgThread, TRUE);
  ScopeExit detach([&] {
    if (attach) ::AttachThreadInput(self, fgThread, FALSE);
  });
  return ::SetForegroundWindow(wnd) != FALSE;
}

void SendPasteHotkey() {
  if (std::optional<TKeyCombo> combo = PasteCombo()) PressKeyCombo(combo->Ctrl, combo->Shift, combo->Alt, combo->Key);
}

void PressKeyCombo(bool ctrl, bool shift, bool alt, BYTE key) {
  const HKL layout = ForegroundLayout();
  std::vector<TKeyEvent> keys = KeyComboEvents(TKeyCombo{ctrl, shift, alt, key});
  const std::vector<std::uint8_t> held = HeldModifiers();
  if (held.empty()) {
    SendKeys(keys, layout);
    return;
  }
  TReleaseWatch watch;
  std::vector<TKeyEvent> block = ReleaseHeldModifiers(held);
  block.insert(block.end(), keys.begin(), keys.end());
  SendKeys(block, layout);
  // Without the hook nobody knows whether the user still holds them: a
  // modifier left up costs the user one press, one stuck down much more.
  if (watch.Watching()) SendKeys(PressAgain(held, watch.ReleasedAfter(block.size())), layout);
}

void WriteBarcodeFile(const std::wstring& text) {
  try {
    const std::wstring dir = TApplication::ExeDir();
    if (dir.empty()) return;
    UniqueFile file(::CreateFileW((dir + L"barcode.txt").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                  CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    const std::string bytes = BarcodeFileBytes(ToU16(text));
    for (std::size_t at = 0; at < bytes.size();) {
      const DWORD chunk = static_cast<DWORD>(std::min(kFileBufferBytes, bytes.size() - at));
      DWORD written = 0;
      if (!::WriteFile(file.get(), bytes.data() + at, chunk, &written, nullptr) || written == 0) return;
      at += written;
    }
  } catch (...) {
    // A barcode file that cannot be written never stops the delivery.
  }
}

TDeliveryOutcome SendExternalText(const std::wstring& text) {
  if (text.empty()) return {};
  try {
    return Deliver(text);
  } catch (...) {
    // Delivery never raises to its caller.
    return {TNotEntered::kNoWindow};
  }
}

}  // namespace qm
