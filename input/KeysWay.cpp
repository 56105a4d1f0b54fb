#include "input/KeysWay.h"

#include <imm.h>

#include "input/InputSearch.h"
#include "input/KeySynth.h"
#include "platform/WideText.h"

namespace qm {
namespace {

constexpr DWORD kImeAskMs = 200;
constexpr WPARAM kImcGetOpenStatus = 0x0005;  // IMC_GETOPENSTATUS, which the headers here lack

std::optional<TLayoutKey> LayoutKeyOf(char16_t unit, const void* layout) {
  const HKL hkl = static_cast<HKL>(const_cast<void*>(layout));
  const SHORT scan = ::VkKeyScanExW(static_cast<wchar_t>(unit), hkl);
  if (scan == -1) return std::nullopt;
  TLayoutKey key;
  key.Vk = LOBYTE(scan);
  key.Shifts = HIBYTE(scan);
  // The top bit of the key's character marks a dead key.
  key.Dead = (::MapVirtualKeyExW(key.Vk, MAPVK_VK_TO_CHAR, hkl) & 0x80000000u) != 0;
  return key;
}

// Asked of the input method's own window, as Windows documents for a window
// of another process. One that does not answer is taken as closed: most
// windows have no input method open, and an open one would show its
// composition window.
bool InputMethodOpen(HWND wnd) {
  const HWND ime = ::ImmGetDefaultIMEWnd(wnd);
  DWORD_PTR open = 0;
  return ime && ::SendMessageTimeoutW(ime, WM_IME_CONTROL, kImcGetOpenStatus, 0, SMTO_ABORTIFHUNG, kImeAskMs, &open) &&
         open != 0;
}

}  // namespace

TDeliveryOutcome TypeText(const std::wstring& text, TEnding ending, DWORD keyDelayMs, HWND ownWnd,
                          const THelperCall& written) {
  const std::vector<TKeyEvent> endingKeys = EndingEvents(ending);
  if (text.empty() && endingKeys.empty()) return {};
  // A window already in front stays exactly as it is, with no pause either.
  TTypingTarget target;
  if (const TDeliveryOutcome out = PrepareTyping(ownWnd, target, false); !out.Entered()) return out;
  const HWND fg = target.Front;
  if (const TWaitEnd waited = TTargetWait(fg).UntilDone(written); waited != TWaitEnd::kDone)
    return {OutcomeOf(waited, TStage::kNothingIn)};

  const HKL layout = ::GetKeyboardLayout(target.Thread);
  std::vector<std::vector<TKeyEvent>> plan = PlanKeys(ToU16(text), &LayoutKeyOf, layout, InputMethodOpen(fg));
  if (!endingKeys.empty()) plan.push_back(endingKeys);
  if (keyDelayMs == 0) {
    std::vector<TKeyEvent> block;
    for (const std::vector<TKeyEvent>& keys : plan) block.insert(block.end(), keys.begin(), keys.end());
    plan = {std::move(block)};
  }

  TInputMarker marker(WaitForTarget() ? target.Thread : 0);
  TStage stage = TStage::kNothingIn;
  const auto ended = [&](TWaitEnd waited) {
    const TNotEntered outcome = OutcomeOf(waited, stage);
    if (outcome == TNotEntered::kHung) GiveUp(RootOf(fg));
    if (outcome != TNotEntered::kNone) marker.Abandon();
    return TDeliveryOutcome{outcome};
  };
  for (std::size_t i = 0; i < plan.size(); ++i) {
    // The pause is ours: the bounds of the wait for the target start anew
    // after it.
    if (i > 0) {
      TTargetWait pause(fg);
      if (const TWaitEnd end = pause.Until([] { return false; }, keyDelayMs); end != TWaitEnd::kTimedOut)
        return ended(end);
      // Keys typed with another window in front would land there.
      if (::GetForegroundWindow() != fg) return ended(TWaitEnd::kGone);
    }
    if (!TypeKeys(plan[i])) return {TNotEntered::kBlocked};  // the window is not to blame
    stage = i + 1 == plan.size() ? TStage::kEnterIn : TStage::kTextIn;
  }
  if (!WaitForTarget()) return {};
  TTargetWait wait(fg);
  return ended(WaitKeysTaken(marker, wait, fg));
}

}  // namespace qm
