#include "input/PasteWay.h"

#include <cstring>
#include <optional>

#include "input/InputSearch.h"
#include "input/KeySynth.h"
#include "input/TargetWait.h"
#include "platform/Application.h"
#include "platform/MainThreadQueue.h"
#include "platform/ScopeExit.h"
#include "platform/UniqueHandle.h"
#include "platform/WideText.h"

namespace qm {

std::wstring PasteHotkey = L"Ctrl+V";

namespace {

constexpr DWORD kClipboardPatienceMs = 1000;
constexpr int kSettleTries = 50;
constexpr DWORD kClipboardRetryMs = 10;

std::optional<TKeyCombo> PasteCombo() {
  return ParsePasteHotkey(ToU16(PasteHotkey), [](char16_t c) { return LOBYTE(::VkKeyScanW(static_cast<wchar_t>(c))); });
}

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

// Clipboard monitors and remote-desktop clipboard sync hold the clipboard
// for tens of milliseconds after every change: tried for about a second,
// this thread's messages handled meanwhile.
bool OpenClipboardPatiently(HWND owner) {
  for (const DWORD start = ::GetTickCount();;) {
    if (::OpenClipboard(owner)) return true;
    if (::GetTickCount() - start >= kClipboardPatienceMs || TApplication::Terminated()) return false;
    ::MsgWaitForMultipleObjectsEx(0, nullptr, kClipboardRetryMs, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    TMainThreadQueue::HandlePendingMessages();
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
    if (!owner || !OpenClipboardPatiently(owner)) return false;
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

  // A text nobody took is taken off the clipboard while it is still ours.
  void Withdraw() {
    HWND owner = Owner();
    if (!block_ || !owner || !OpenClipboardPatiently(owner)) return;
    ScopeExit close([] { ::CloseClipboard(); });
    if (block_ && ::GetClipboardOwner() == owner) ::EmptyClipboard();
    block_.reset();
  }

  // The text is handed over for good: without the waits, and when the
  // program ends with it still on offer.
  void Settle() {
    HWND owner = owner_;
    if (!block_ || !owner) return;
    bool open = false;
    for (int i = 0; i < kSettleTries && !(open = ::OpenClipboard(owner)); ++i) ::Sleep(kClipboardRetryMs);
    if (!open) return;
    ScopeExit close([] { ::CloseClipboard(); });
    if (::GetClipboardOwner() == owner && ::SetClipboardData(CF_UNICODETEXT, block_.get())) (void)block_.release();
  }

  // The owner's end makes Windows ask it for the text still on offer
  // (WM_RENDERALLFORMATS); a process that ends first loses it.
  void Close() {
    if (owner_) ::DestroyWindow(owner_);
    owner_ = nullptr;
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

}  // namespace

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

void HandOverClipboard() { TClipboardOffer::Instance().Close(); }

bool SendPasteHotkey() {
  const std::optional<TKeyCombo> combo = PasteCombo();
  return !combo || PressKeyCombo(combo->Ctrl, combo->Shift, combo->Alt, combo->Key);
}

TDeliveryOutcome Paste(const std::wstring& text, TEnding ending, HWND ownWnd, const THelperCall& written) {
  const std::vector<TKeyEvent> endingKeys = EndingEvents(ending);
  const bool enterWanted = !endingKeys.empty();
  if (text.empty()) return {};  // nothing to paste, and no field to press Enter in
  TTypingTarget target;
  if (const TDeliveryOutcome out = PrepareTyping(ownWnd, target); !out.Entered()) return out;
  const HWND fg = target.Front;
  const DWORD fgThread = target.Thread, targetPid = target.Pid;
  const std::optional<TKeyCombo> combo = PasteCombo();
  if (!combo && !enterWanted) return {};
  if (const TWaitEnd waited = TTargetWait(fg).UntilDone(written); waited != TWaitEnd::kDone)
    return {OutcomeOf(waited, TStage::kNothingIn)};

  // The clipboard is touched only now, so a barcode that goes nowhere leaves
  // it as it was. The text stays on offer until the target asked for it or
  // it was given up; then it is withdrawn, so a paste that comes later gets
  // nothing rather than the next barcode's text.
  TClipboardOffer& offer = TClipboardOffer::Instance();
  if (combo && !SetClipboardText(text)) return {TNotEntered::kClipboardBusy};
  TNotEntered outcome = TNotEntered::kNone;
  ScopeExit end([&] {
    if (!WaitForTarget()) offer.Settle();
    else if (outcome != TNotEntered::kNone && outcome != TNotEntered::kEnded) offer.Withdraw();
  });
  TInputMarker marker(WaitForTarget() ? fgThread : 0);
  const auto ended = [&](TWaitEnd waited, TStage stage) {
    outcome = OutcomeOf(waited, stage);
    if (outcome == TNotEntered::kHung) GiveUp(RootOf(fg));
    if (outcome != TNotEntered::kNone) marker.Abandon();
    return TDeliveryOutcome{outcome};
  };
  // Said at once; the window is not to blame and is not given up on.
  const auto blocked = [&] { return TDeliveryOutcome{outcome = TNotEntered::kBlocked}; };

  TTargetWait wait(fg);  // from the moment the keys are sent
  if (combo && !SendPasteHotkey()) return blocked();
  if (!WaitForTarget()) {
    if (enterWanted && !TypeKeys(endingKeys)) return blocked();
    return {};
  }
  if (combo) {
    const auto mayFollow = [&] {
      return EnterMayFollow({offer.TakenBy(targetPid), offer.RenderedElsewhere(targetPid), true});
    };
    TWaitEnd waited = WaitKeysTaken(marker, wait, fg);
    // A page drawn by another process, or one busy with the last barcode,
    // asks in its own time: up to the bound.
    if (waited == TWaitEnd::kDone) waited = wait.Until(mayFollow);
    if (waited != TWaitEnd::kDone) return ended(waited, TStage::kPasteOffered);
  }
  if (!enterWanted) return {};
  TTargetWait enterWait(fg);
  if (const TWaitEnd waited = RearmMarker(marker, enterWait); waited != TWaitEnd::kDone)
    return ended(waited, TStage::kTextIn);
  if (!TypeKeys(endingKeys)) return blocked();
  return ended(WaitKeysTaken(marker, enterWait, fg), TStage::kEnterIn);
}

}  // namespace qm
