#include "input/UExternalInput.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

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
constexpr DWORD kTargetWaitMs = 1000;  // all waits for one target, together
constexpr DWORD kPastePauseMs = 40;
constexpr int kEagerPolls = 8;  // then 1 ms apart
constexpr int kClipboardTries = 5;
constexpr DWORD kClipboardRetryMs = 10;
constexpr std::size_t kFileBufferBytes = 4096;
constexpr UINT kLockTimeoutUpdate = SPIF_SENDCHANGE;

HWND g_ownWnd = nullptr;
bool g_waitForTarget = true;

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

bool Expired(const TInputSearch& s) {
  return s.Deadline != 0 && DeadlinePassed(::GetTickCount(), s.Deadline);
}

DWORD DeadlineAfter(DWORD ms) {
  if (ms == 0) return 0;
  DWORD deadline = ::GetTickCount() + ms;
  return deadline == 0 ? 1 : deadline;  // 0 would mean none
}

// The waits for one target share one bound, so a target that stops
// responding costs about a second however many waits it holds up.
class TWaitBudget {
 public:
  explicit TWaitBudget(DWORD ms) : start_(::GetTickCount()), ms_(ms) {}
  DWORD Left() const {
    DWORD elapsed = ::GetTickCount() - start_;
    return elapsed >= ms_ ? 0 : ms_ - elapsed;
  }
  // A message sent to wnd's thread, answered once that thread looks at its
  // queue again. False when it did not answer within the budget.
  [[nodiscard]] bool Ask(HWND wnd, UINT msg, WPARAM wp, DWORD_PTR& result) const {
    DWORD left = Left();
    result = 0;
    return left != 0 && ::SendMessageTimeoutW(wnd, msg, wp, 0, SMTO_ABORTIFHUNG, left, &result) != 0;
  }
  [[nodiscard]] bool RoundTrip(HWND wnd) const {
    DWORD_PTR result = 0;
    return Ask(wnd, WM_NULL, 0, result);
  }

 private:
  const DWORD start_, ms_;
};

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

bool FindInputChildOfClass(HWND parent, HWND& found, std::wstring& cls) {
  found = nullptr;
  if (!parent) return false;
  for (HWND child = ::GetWindow(parent, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    std::wstring name = ClassNameOf(child);
    if (IsInputClassName(name) && ::IsWindowVisible(child)) {
      HWND nested = nullptr;
      if (FindInputChildOfClass(child, nested, cls) && nested) {
        found = nested;
      } else {
        found = child;
        cls = std::move(name);
      }
      return true;
    }
    if (FindInputChildOfClass(child, found, cls)) return true;
  }
  return false;
}

HWND FocusedInputControl(HWND front, DWORD thread, std::wstring& cls) {
  if (thread == 0) thread = ::GetWindowThreadProcessId(front, nullptr);
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  if (thread == 0 || !::GetGUIThreadInfo(thread, &info)) return nullptr;
  HWND focus = info.hwndFocus;
  // The focus lies in the active window: with that one in front, no need to
  // ask whether it is a descendant.
  if (!focus || focus == front || (info.hwndActive != front && !::IsChild(front, focus))) return nullptr;
  if (!::IsWindowVisible(focus)) return nullptr;
  std::wstring name = ClassNameOf(focus);
  if (!IsInputClassName(name)) return nullptr;
  HWND inner = nullptr;
  if (FindInputChildOfClass(focus, inner, cls) && inner) return inner;
  cls = std::move(name);
  return focus;
}

// The search of FindInputControl; cls receives the found control's class.
void FindInput(TInputSearch& search, std::wstring& cls) {
  search.FoundWnd = nullptr;
  DWORD thread = 0;
  const HWND front = FrontWindow(search, thread);
  if (!front) return;
  if (HWND focused = FocusedInputControl(front, thread, cls)) {
    search.FoundWnd = focused;
    return;
  }
  HWND found = nullptr;
  if (FindInputChildOfClass(front, found, cls)) search.FoundWnd = found;
}

bool IsMultiLine(HWND control, const std::wstring& cls) {
  return (::GetWindowLongW(control, GWL_STYLE) & ES_MULTILINE) != 0 || IsRichEditClassName(ToU16(cls));
}

std::uint8_t LayoutKey(char16_t c) { return LOBYTE(::VkKeyScanW(static_cast<wchar_t>(c))); }

std::optional<TKeyCombo> PasteCombo() { return ParsePasteHotkey(ToU16(PasteHotkey), &LayoutKey); }

// The clipboard text is promised (delayed rendering) and handed over when a
// reader asks for it: that request is the sign that the paste was taken, so
// the next barcode may replace the clipboard.
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
    if (::GetClipboardOwner() != owner || !::IsClipboardFormatAvailable(CF_UNICODETEXT)) return false;
    block_ = std::move(block);
    takerPid_ = 0;
    return true;
  }

  bool Taken() const noexcept { return !block_; }
  // The process that asked for the text; 0 when unknown.
  DWORD TakerPid() const noexcept { return takerPid_; }

  // The text stays on the clipboard after the delivery (and the program)
  // whether or not anybody took it.
  void Settle() {
    HWND owner = Owner();
    if (!block_ || !owner || !::OpenClipboard(owner)) return;
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
  DWORD takerPid_ = 0;
};

// Round trips to the target's thread; each one it answers has usually let
// it take one more message from its queue first. Only where nothing better
// can be observed.
void LetTargetCatchUp(HWND wnd, int trips, const TWaitBudget& budget) {
  for (int i = 0; i < trips; ++i) {
    if (!budget.RoundTrip(wnd)) return;
    ::SwitchToThread();
  }
}

// The direct way's marker: a change of the control's text limit, posted
// behind the Enter key-down and read back with a sent EM_GETLIMITTEXT. Posted
// messages are taken in order, so once the change shows, the thread has
// dispatched everything posted before it.
DWORD Shifted(DWORD limit) { return limit > 1 ? limit - 1 : limit + 1; }  // 0 would mean no limit

// The control whose posted text limits were last checked, and the outcome;
// a control that ignores them would otherwise cost the whole budget each time.
HWND g_limitChecked = nullptr;
bool g_limitMarks = false;

// The control's text limit when a posted change of it can be observed, else
// 0: the control does not answer EM_GETLIMITTEXT, or ignores EM_SETLIMITTEXT.
DWORD MarkableLimit(HWND control, const TWaitBudget& budget) {
  DWORD_PTR limit = 0, probe = 0, ignored = 0;
  if (!budget.Ask(control, EM_GETLIMITTEXT, 0, limit) || limit == 0) return 0;
  if (control == g_limitChecked) return g_limitMarks ? static_cast<DWORD>(limit) : 0;
  const DWORD shifted = Shifted(static_cast<DWORD>(limit));
  const bool read =
      budget.Ask(control, EM_SETLIMITTEXT, shifted, ignored) && budget.Ask(control, EM_GETLIMITTEXT, 0, probe);
  // A message that timed out may still be handled: the posted one comes after it.
  if (!read || (probe != limit && !budget.Ask(control, EM_SETLIMITTEXT, limit, ignored)))
    (void)::PostMessageW(control, EM_SETLIMITTEXT, limit, 0);
  if (!read) return 0;
  g_limitChecked = control;
  g_limitMarks = probe == shifted;
  return g_limitMarks ? static_cast<DWORD>(limit) : 0;
}

// Reads the limit until done(limit) holds. False when the budget ran out or
// the control stopped answering.
template <typename Done>
bool PollLimit(HWND control, const TWaitBudget& budget, Done done, DWORD& seen) {
  for (int polls = 0;; ++polls) {
    DWORD_PTR limit = 0;
    if (!budget.Ask(control, EM_GETLIMITTEXT, 0, limit)) return false;
    seen = static_cast<DWORD>(limit);
    if (done(seen)) return true;
    // A sent message is taken before posted ones: leave the thread room to
    // reach the marker instead of answering the next poll at once.
    if (polls < kEagerPolls) ::SwitchToThread();
    else ::Sleep(1);
  }
}

// Waits until the control's thread has dispatched the posted Enter key-down
// and the WM_CHAR that TranslateMessage posts for it, behind the first marker.
bool AwaitPostedEnter(HWND control, DWORD limit, const TWaitBudget& budget) {
  const DWORD shifted = Shifted(limit);
  if (!::PostMessageW(control, EM_SETLIMITTEXT, shifted, 0)) return false;
  DWORD seen = limit;
  if (!PollLimit(control, budget, [limit](DWORD v) { return v != limit; }, seen)) {
    (void)::PostMessageW(control, EM_SETLIMITTEXT, limit, 0);  // undoes the first marker when it comes
    return false;
  }
  // A limit that the Enter handler set itself, seen before the first marker
  // came, is the one to keep.
  const DWORD restore = seen == shifted ? limit : seen;
  if (!::PostMessageW(control, EM_SETLIMITTEXT, restore, 0)) return false;
  return PollLimit(control, budget, [restore](DWORD v) { return v == restore; }, seen);
}

// The paste way's marker: an unassigned key pressed after the paste keys and
// the Enter. The key state of a thread changes as it takes key messages from
// its input, and a thread attached to that input shares it: once the marker
// shows as down there, the target has handled every key before it, and the
// WM_CHAR messages they were translated into, which are posted and so go
// before further input.
class TInputMarker {
 public:
  static constexpr BYTE kKey = 0xE8;

  // Attaching resets the shared key state, so it happens before any key.
  explicit TInputMarker(DWORD thread)
      : self_(::GetCurrentThreadId()),
        thread_(thread),
        attached_(thread != 0 && thread != self_ && ::AttachThreadInput(self_, thread, TRUE)) {}
  ~TInputMarker() {
    if (pressed_) InputFunctions().KeybdEvent(kKey, 0, KEYEVENTF_KEYUP, 0);
    if (attached_) ::AttachThreadInput(self_, thread_, FALSE);
  }
  TInputMarker(const TInputMarker&) = delete;
  TInputMarker& operator=(const TInputMarker&) = delete;

  bool Attached() const noexcept { return attached_; }
  void Press() {
    InputFunctions().KeybdEvent(kKey, 0, 0, 0);
    pressed_ = true;
  }
  bool Reached() const { return (::GetKeyState(kKey) & 0x8000) != 0; }

 private:
  const DWORD self_, thread_;
  const bool attached_;
  bool pressed_ = false;
};

// Serves messages sent to this thread (the clipboard request among them)
// until done() holds or the budget runs out.
template <typename Done>
bool ServeSentUntil(const TWaitBudget& budget, DWORD stepMs, Done done) {
  MSG msg;
  while (!done()) {
    DWORD left = budget.Left();
    if (left == 0) return false;
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, std::min(left, stepMs), QS_SENDMESSAGE);
    ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
  }
  return true;
}

HWND FocusOf(HWND front) {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  DWORD thread = ::GetWindowThreadProcessId(front, nullptr);
  return thread && ::GetGUIThreadInfo(thread, &info) && info.hwndFocus ? info.hwndFocus : front;
}

void Deliver(const std::wstring& text) {
  const TDeliveryText parts = StripTrailingBreaks(ToU16(text));
  const std::wstring stripped = ToWide(parts.Text);
  // Written once the text is in, so the file costs the user no time.
  ScopeExit file([&text] { WriteBarcodeFile(text); });

  TInputSearch search;
  search.ExcludeWnd = g_ownWnd;
  search.ExcludePid = ::GetCurrentProcessId();
  search.Deadline = DeadlineAfter(kSearchLimitMs);
  std::wstring cls;
  FindInput(search, cls);
  if (search.FoundWnd && !IsMultiLine(search.FoundWnd, cls)) {
    (void)SendTextToControl(search.FoundWnd, stripped, parts.EnterWanted);
    return;
  }

  // Keys typed with nothing in front would land in whatever has the focus,
  // the program's own window included.
  const HWND target = search.FrontWnd;
  if (!target) return;
  TWaitBudget budget(kTargetWaitMs);
  // Showing and raising a window of another thread waits for that thread.
  if (!budget.RoundTrip(target)) return;
  if (!SetClipboardText(stripped)) return;
  ScopeExit settle([] { TClipboardOffer::Instance().Settle(); });
  (void)ForceForegroundWindow(target);
  TMainThreadQueue::HandlePendingMessages();
  ::Sleep(kPastePauseMs);

  const HWND fg = ::GetForegroundWindow();
  const DWORD targetPid = ProcessOf(target);
  if (!fg || ProcessOf(fg) != targetPid) return;
  const std::optional<TKeyCombo> combo = PasteCombo();
  if (!combo && !parts.EnterWanted) return;
  TInputMarker marker(g_waitForTarget ? ::GetWindowThreadProcessId(fg, nullptr) : 0);
  if (combo) PressKeyCombo(combo->Ctrl, combo->Shift, combo->Alt, combo->Key);
  if (parts.EnterWanted) PressKeyCombo(false, false, false, VK_RETURN);
  if (!g_waitForTarget) return;
  // The next barcode may replace the clipboard once the target asked for
  // the text, and set a field of that thread once it handled the Enter.
  TClipboardOffer& offer = TClipboardOffer::Instance();
  const auto pasted = [&offer, &combo] { return !combo || offer.Taken(); };
  if (marker.Attached()) {
    marker.Press();
    (void)ServeSentUntil(budget, 1, [&] { return pasted() && marker.Reached(); });
    return;
  }
  // Without the marker: the keys after the paste follow within a few of the
  // target's messages, as a rule.
  const bool taken = combo && ServeSentUntil(budget, 10, pasted);
  const DWORD taker = offer.TakerPid();
  LetTargetCatchUp(FocusOf(fg), taken && (taker == targetPid || taker == 0) ? 4 : 8, budget);
}

}  // namespace

void SetOwnWindow(HWND wnd) noexcept { g_ownWnd = wnd; }
HWND OwnWindow() noexcept { return g_ownWnd; }
void SetWaitForTarget(bool wait) noexcept { g_waitForTarget = wait; }

bool IsInputClassName(std::wstring_view className) noexcept {
  return qm::IsInputClassName(std::u16string_view(reinterpret_cast<const char16_t*>(className.data()), className.size()));
}

bool FindInputChild(HWND parent, HWND& found) {
  std::wstring cls;
  return FindInputChildOfClass(parent, found, cls);
}

bool IsCandidateWindow(HWND wnd, HWND excludedWnd, DWORD excludedPid) {
  if (!wnd || wnd == excludedWnd || !::IsWindow(wnd) || !::IsWindowVisible(wnd)) return false;
  if (excludedPid != 0 && ProcessOf(wnd) == excludedPid) return false;
  const LONG ex = ::GetWindowLongW(wnd, GWL_EXSTYLE);
  return (ex & (WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE)) == 0;
}

void FindInputControl(TInputSearch& search) {
  std::wstring cls;
  FindInput(search, cls);
}

HWND FindInputControl(HWND excludedWnd, DWORD excludedPid, DWORD timeLimitMs) {
  TInputSearch search;
  search.ExcludeWnd = excludedWnd;
  search.ExcludePid = excludedPid;
  search.Deadline = DeadlineAfter(timeLimitMs);
  FindInputControl(search);
  return search.FoundWnd;
}

bool IsMultiLineControl(HWND control) { return IsMultiLine(control, ClassNameOf(control)); }

bool SendTextToControl(HWND control, const std::wstring& text, bool pressEnter) {
  TWaitBudget budget(kTargetWaitMs);
  DWORD_PTR result = 0;
  if (!::SendMessageTimeoutW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()), SMTO_ABORTIFHUNG,
                             budget.Left(), &result))
    return false;
  if (!pressEnter) return true;
  const DWORD limit = g_waitForTarget ? MarkableLimit(control, budget) : 0;
  // Posted, not sent: the target's own loop must see it (dialog default
  // buttons, key previews).
  if (!::PostMessageW(control, WM_KEYDOWN, VK_RETURN, 0)) return false;
  if (!g_waitForTarget) return true;
  // The next text may replace this one once the Enter was handled.
  if (limit != 0) return AwaitPostedEnter(control, limit, budget);
  // Nothing to observe: a sent message goes before a posted one, so the
  // first round trip may come before the key-down, the second usually comes
  // after it, the third after the WM_CHAR that TranslateMessage made of it.
  for (int i = 0; i < 3; ++i) {
    if (!budget.RoundTrip(control)) return false;
    ::SwitchToThread();
  }
  return true;
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
  TInputSearch search;
  search.ExcludeWnd = ownWnd;
  search.ExcludePid = ownPid;
  DWORD thread = 0;
  return FrontWindow(search, thread);
}

bool ForceForegroundWindow(HWND wnd) {
  if (!wnd || !::IsWindow(wnd)) return false;
  const HWND fg = ::GetForegroundWindow();
  const DWORD self = ::GetCurrentThreadId();
  const DWORD fgThread = fg ? ::GetWindowThreadProcessId(fg, nullptr) : 0;
  DWORD saved = 0;
  ::SystemParametersInfoW(SPI_GETFOREGROUNDLOCKTIMEOUT, 0, &saved, 0);
  ::SystemParametersInfoW(SPI_SETFOREGROUNDLOCKTIMEOUT, 0, nullptr, kLockTimeoutUpdate);
  const bool attach = fgThread != 0 && fgThread != self;
  if (attach) ::AttachThreadInput(self, fgThread, TRUE);
  ScopeExit restore([&] {
    if (attach) ::AttachThreadInput(self, fgThread, FALSE);
    ::SystemParametersInfoW(SPI_SETFOREGROUNDLOCKTIMEOUT, 0, reinterpret_cast<PVOID>(static_cast<UINT_PTR>(saved)),
                            kLockTimeoutUpdate);
  });

  const bool topmost = (::GetWindowLongW(wnd, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  // Raised before it is restored: Wine maximizes a window again when it is
  // raised right after being restored.
  ::SetWindowPos(wnd, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE);
  if (!topmost) ::SetWindowPos(wnd, HWND_NOTOPMOST, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE);
  ::ShowWindow(wnd, SW_SHOWNORMAL);
  const bool ok = ::SetForegroundWindow(wnd) != FALSE;
  ::BringWindowToTop(wnd);
  return ok;
}

void SendPasteHotkey() {
  if (std::optional<TKeyCombo> combo = PasteCombo()) PressKeyCombo(combo->Ctrl, combo->Shift, combo->Alt, combo->Key);
}

void PressKeyCombo(bool ctrl, bool shift, bool alt, BYTE key) {
  const TInputFunctions& input = InputFunctions();
  for (const TKeyEvent& e : KeyComboEvents(TKeyCombo{ctrl, shift, alt, key}))
    input.KeybdEvent(e.Vk, 0, e.Up ? KEYEVENTF_KEYUP : 0, 0);
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

void SendExternalText(const std::wstring& text) {
  if (text.empty()) return;
  try {
    Deliver(text);
  } catch (...) {
    // Delivery reports nothing to anybody.
  }
}

}  // namespace qm
