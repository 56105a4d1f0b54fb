#include "input/TargetWait.h"

#include <algorithm>
#include <deque>
#include <thread>
#include <vector>

#include "input/InputSearch.h"
#include "input/KeySynth.h"
#include "platform/Application.h"
#include "platform/MainThreadQueue.h"
#include "platform/UniqueHandle.h"

namespace qm {
namespace {

constexpr DWORD kGiveUpMs = 10000;      // a target still busy this long after the text was sent
constexpr DWORD kSliceMs = 50;          // one send before this thread's messages are handled again
constexpr DWORD kAnswersAgainMs = 100;  // a target given up on must answer this fast to be tried
constexpr DWORD kFrontPauseMs = 40;     // for the window brought to the front
constexpr DWORD kActivationMs = 1000;

bool g_waitForTarget = true;
bool g_markerLeftDown = false;      // a marker of a target given up on was never released
std::vector<HWND> g_givenUp;        // top-level windows given up on, until they answer again
std::vector<DWORD> g_elevatedSeen;  // processes out of reach that were reported

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

// A process's level never rises: read once for the window barcodes go to,
// not for every barcode (five system calls). A window's handle and its
// process id together name one process.
std::optional<std::uint32_t> TargetIntegrity(HWND root, DWORD pid) {
  static HWND knownRoot = nullptr;
  static DWORD knownPid = 0;
  static std::uint32_t knownLevel = 0;
  if (root == knownRoot && pid == knownPid) return knownLevel;
  const std::optional<std::uint32_t> level = ProcessIntegrity(pid);
  if (level) {
    knownRoot = root;
    knownPid = pid;
    knownLevel = *level;
  }
  return level;
}

// Released before attaching: the new target's key state then starts with it up.
DWORD ReleaseLeftMarker(DWORD thread) {
  if (g_markerLeftDown) (void)SendKeys({{TInputMarker::kKey, true}}, ::GetKeyboardLayout(0));
  g_markerLeftDown = false;
  return thread;
}

}  // namespace

// Shared with the thread, which outlives any wait and never ends: a call
// it is blocked in when the program exits ends with the process. The thread
// is woken through a condition variable, which under Wine costs no trip to
// its server as an event does; the one event says a call is done.
struct THelper::TState {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE work = CONDITION_VARIABLE_INIT;
  std::deque<std::shared_ptr<THelperCall>> calls;
  bool running = false;
  UniqueKernelHandle done{::CreateEventW(nullptr, FALSE, FALSE, nullptr)};
};

THelper::THelper() : state_(std::make_shared<TState>()) {
  std::thread([s = state_] {
    for (;;) {
      std::shared_ptr<THelperCall> call;
      ::AcquireSRWLockExclusive(&s->lock);
      while (s->calls.empty()) ::SleepConditionVariableSRW(&s->work, &s->lock, INFINITE, 0);
      call = std::move(s->calls.front());
      s->calls.pop_front();
      s->running = true;
      ::ReleaseSRWLockExclusive(&s->lock);
      try {
        call->work_();
      } catch (...) {
        // A helper's call never ends the helper.
      }
      // Free again before anyone can see the call done.
      ::AcquireSRWLockExclusive(&s->lock);
      s->running = false;
      ::ReleaseSRWLockExclusive(&s->lock);
      call->done_.store(true, std::memory_order_release);
      ::SetEvent(s->done.get());
    }
  }).detach();
}

bool THelper::Busy() const {
  ::AcquireSRWLockShared(&state_->lock);
  const bool busy = state_->running || !state_->calls.empty();
  ::ReleaseSRWLockShared(&state_->lock);
  return busy;
}

THelper& THelper::Free() {
  // Never freed: the threads may still be in a call when the program exits.
  static auto* helpers = new std::vector<std::unique_ptr<THelper>>;
  for (const std::unique_ptr<THelper>& h : *helpers)
    if (!h->Busy()) return *h;
  helpers->push_back(std::make_unique<THelper>());
  return *helpers->back();
}

std::shared_ptr<THelperCall> THelper::Run(std::function<void()> work) {
  auto call = std::make_shared<THelperCall>(std::move(work), state_->done.get());
  ::AcquireSRWLockExclusive(&state_->lock);
  state_->calls.push_back(call);
  ::ReleaseSRWLockExclusive(&state_->lock);
  ::WakeConditionVariable(&state_->work);
  return call;
}

void SetWaitForTarget(bool wait) noexcept { g_waitForTarget = wait; }
bool WaitForTarget() noexcept { return g_waitForTarget; }

TInputMarker::TInputMarker(DWORD thread)
    : self_(::GetCurrentThreadId()),
      thread_(ReleaseLeftMarker(thread)),
      attached_(thread != 0 && thread != self_ && ::AttachThreadInput(self_, thread, TRUE)) {
  const HWND focus = ::GetFocus();
  if (attached_ && focus && ::GetWindowThreadProcessId(focus, nullptr) != thread_) Detach();
}

TInputMarker::~TInputMarker() {
  if (pressed_ && abandoned_) g_markerLeftDown = true;
  else if (pressed_) Release();
  Detach();
}

void TInputMarker::Detach() {
  if (attached_) ::AttachThreadInput(self_, thread_, FALSE);
  attached_ = false;
}

void TInputMarker::Press() {
  pressed_ = SendKeys({{kKey, false}}, ::GetKeyboardLayout(0));
  if (!pressed_) Detach();
}

void TInputMarker::Release() {
  (void)SendKeys({{kKey, true}}, ::GetKeyboardLayout(0));
  pressed_ = false;
}

bool TInputMarker::Reached() const { return attached_ && (::GetKeyState(kKey) & 0x8000) != 0; }

TTargetWait::TTargetWait(HWND target) : root_(RootOf(target)), start_(::GetTickCount()) {}

TWaitEnd TTargetWait::Check() const {
  if (ended_ || TApplication::Terminated()) return TWaitEnd::kEnded;
  if (!::IsWindow(root_)) return TWaitEnd::kGone;
  if (::IsHungAppWindow(root_)) return TWaitEnd::kHung;
  if (::GetTickCount() - start_ >= kGiveUpMs) return TWaitEnd::kOverdue;
  return TWaitEnd::kDone;
}

DWORD TTargetWait::Left() const {
  const DWORD elapsed = ::GetTickCount() - start_;
  return elapsed >= kGiveUpMs ? 0 : kGiveUpMs - elapsed;
}

TWaitEnd TTargetWait::Ask(HWND wnd, UINT msg, WPARAM wp, LPARAM lp, DWORD_PTR& result) {
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

TWaitEnd TTargetWait::RoundTrip(HWND wnd) {
  DWORD_PTR ignored = 0;
  return Ask(wnd, WM_NULL, 0, 0, ignored);
}

// Every message waiting now. Anything for one of the program's windows may
// need its input (a menu, a box), which waits behind the target's while the
// marker shares it: the marker lets go first.
void TTargetWait::Pump() {
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

TWaitEnd LetTargetCatchUp(HWND wnd, int trips, TTargetWait& wait) {
  for (int i = 0; i < trips; ++i) {
    if (const TWaitEnd end = wait.RoundTrip(wnd); end != TWaitEnd::kDone) return end;
    ::SwitchToThread();
  }
  return TWaitEnd::kDone;
}

void ReleaseAbandonedMarker() { (void)ReleaseLeftMarker(0); }

TDeliveryOutcome PrepareTyping(HWND ownWnd, TTypingTarget& target, bool pauseInFront) {
  const HWND wnd = PickTargetWindow(ownWnd, ::GetCurrentProcessId());
  if (!wnd) return {TNotEntered::kNoWindow};
  if (std::optional<TDeliveryOutcome> out = Unreachable(wnd)) return *out;
  const bool inFront = ::GetForegroundWindow() == wnd;
  (void)ForceForegroundWindow(wnd);
  TMainThreadQueue::HandlePendingMessages();
  if (pauseInFront || !inFront) ::Sleep(kFrontPauseMs);

  // Keys typed with the target not in front would land elsewhere.
  const HWND fg = ::GetForegroundWindow();
  const DWORD pid = ProcessOf(wnd);
  if (!fg || ProcessOf(fg) != pid) return {TNotEntered::kNoWindow};
  // The target activates itself in its own time, giving the focus back to
  // its control: the keys are for that control.
  const DWORD thread = ::GetWindowThreadProcessId(fg, nullptr);
  TTargetWait activation(fg);
  const auto active = [fg, thread] {
    const std::optional<GUITHREADINFO> info = GuiThreadInfo(thread);
    return info && info->hwndActive == fg;
  };
  if (const TWaitEnd end = activation.Until(active, kActivationMs); end != TWaitEnd::kDone && end != TWaitEnd::kTimedOut) {
    if (end == TWaitEnd::kHung) GiveUp(activation.Root());
    return {OutcomeOf(end, TStage::kNothingIn)};
  }
  // Activation gives the focus back where the user left it: a button there
  // would take the Enter as a click.
  if (const std::optional<GUITHREADINFO> info = GuiThreadInfo(thread);
      info && info->hwndFocus && ControlFactsOf(info->hwndFocus).NoText)
    return {TNotEntered::kNotInput};
  target = {fg, thread, pid};
  return {};
}

TWaitEnd WaitKeysTaken(TInputMarker& marker, TTargetWait& wait, HWND front) {
  TWaitEnd end = TWaitEnd::kDone;
  if (marker.Attached()) {
    marker.Press();
    wait.WatchMarker(&marker);
    end = wait.Until([&marker] { return !marker.Attached() || marker.Reached(); });
    wait.WatchMarker(nullptr);
  }
  if (end != TWaitEnd::kDone || marker.Reached()) return end;
  // Without the marker: the keys are handled within a few of the target's
  // messages, as a rule.
  const std::optional<GUITHREADINFO> info = GuiThreadInfo(::GetWindowThreadProcessId(front, nullptr));
  return LetTargetCatchUp(info && info->hwndFocus ? info->hwndFocus : front, 8, wait);
}

TWaitEnd RearmMarker(TInputMarker& marker, TTargetWait& wait) {
  if (!marker.Pressed()) return TWaitEnd::kDone;
  marker.Release();
  wait.WatchMarker(&marker);
  const TWaitEnd end = wait.Until([&marker] { return !marker.Attached() || !marker.Reached(); });
  wait.WatchMarker(nullptr);
  return end;
}

bool IsGivenUp(HWND root) { return std::find(g_givenUp.begin(), g_givenUp.end(), root) != g_givenUp.end(); }

void GiveUp(HWND root) {
  if (!IsGivenUp(root)) g_givenUp.push_back(root);
  // Windows that are gone are forgotten, so the list stays small.
  g_givenUp.erase(std::remove_if(g_givenUp.begin(), g_givenUp.end(), [](HWND w) { return !::IsWindow(w); }),
                  g_givenUp.end());
}

std::optional<TDeliveryOutcome> Unreachable(HWND wnd) { return Unreachable(RootOf(wnd), 0); }

std::optional<TDeliveryOutcome> Unreachable(HWND root, DWORD pid) {
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
  if (pid == 0) pid = ProcessOf(root);
  if (TargetOutOfReach(OwnIntegrity(), TargetIntegrity(root, pid))) {
    const bool first = std::find(g_elevatedSeen.begin(), g_elevatedSeen.end(), pid) == g_elevatedSeen.end();
    if (first) g_elevatedSeen.push_back(pid);
    return TDeliveryOutcome{TNotEntered::kElevated, first};
  }
  return std::nullopt;
}

}  // namespace qm
