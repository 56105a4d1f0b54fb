#include "input/KeySynth.h"

#include <atomic>
#include <thread>

#include "input/DeliveryRules.h"
#include "platform/InputSynth.h"
#include "platform/ScopeExit.h"
#include "platform/UniqueHandle.h"

namespace qm {
namespace {

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

// Each event carries its key and, as the scan code, the one the target's
// layout gives that key (KEYEVENTF_SCANCODE would map the scan code back
// through it).
UINT Insert(const std::vector<TKeyEvent>& keys, HKL layout) {
  std::vector<INPUT> in(keys.size());
  for (std::size_t i = 0; i < keys.size(); ++i) {
    in[i].type = INPUT_KEYBOARD;
    in[i].ki.dwExtraInfo = kOwnInputTag;
    if (keys[i].Vk == 0) {
      in[i].ki.wScan = keys[i].Unit;
      in[i].ki.dwFlags = KEYEVENTF_UNICODE | (keys[i].Up ? KEYEVENTF_KEYUP : 0);
      continue;
    }
    const UINT scan = ::MapVirtualKeyExW(keys[i].Vk, MAPVK_VK_TO_VSC_EX, layout);
    in[i].ki.wVk = keys[i].Vk;
    in[i].ki.wScan = static_cast<WORD>(scan & 0xFF);
    in[i].ki.dwFlags = (keys[i].Up ? KEYEVENTF_KEYUP : 0) | ((scan & 0xFF00) ? KEYEVENTF_EXTENDEDKEY : 0);
  }
  return InputFunctions().SendInput(static_cast<UINT>(in.size()), in.data(), sizeof(INPUT));
}

}  // namespace

bool SendKeys(const std::vector<TKeyEvent>& keys, HKL layout) {
  if (keys.empty()) return true;
  const UINT inserted = Insert(keys, layout);
  if (inserted >= keys.size()) return true;
  // A key left down would repeat, or stay held for the next program.
  if (const std::vector<TKeyEvent> up = KeysToRelease(keys, inserted); !up.empty()) (void)Insert(up, layout);
  return false;
}

bool TypeKeys(const std::vector<TKeyEvent>& keys) {
  const HKL layout = ForegroundLayout();
  const std::vector<std::uint8_t> held = HeldModifiers();
  if (held.empty()) return SendKeys(keys, layout);
  TReleaseWatch watch;
  std::vector<TKeyEvent> block = ReleaseHeldModifiers(held);
  block.insert(block.end(), keys.begin(), keys.end());
  if (!SendKeys(block, layout)) return false;
  // Without the hook nobody knows whether the user still holds them: a
  // modifier left up costs the user one press, one stuck down much more.
  if (watch.Watching()) (void)SendKeys(PressAgain(held, watch.ReleasedAfter(block.size())), layout);
  return true;
}

bool PressKeyCombo(bool ctrl, bool shift, bool alt, BYTE key) {
  return TypeKeys(KeyComboEvents(TKeyCombo{ctrl, shift, alt, key}));
}

HKL ForegroundLayout() {
  HWND fg = ::GetForegroundWindow();
  return ::GetKeyboardLayout(fg ? ::GetWindowThreadProcessId(fg, nullptr) : 0);
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

}  // namespace qm
