#include "input/DirectWay.h"

#include <algorithm>
#include <memory>

#include "input/DeliveryRules.h"
#include "input/InputSearch.h"

namespace qm {
namespace {

constexpr int kEagerPolls = 8;  // then 1 ms apart
// A thread that takes no message this long counts as hung: a send it has
// not taken by then is withdrawn, so a target that wakes later never gets it.
constexpr DWORD kTakenWithinMs = 5000;

// The direct way's marker: a change of the control's text limit, posted
// behind the Enter and read back with a sent EM_GETLIMITTEXT. Posted
// messages are taken in order, so once the change shows, the thread has
// dispatched everything posted before it.
DWORD Shifted(DWORD limit) { return limit > 1 ? limit - 1 : limit + 1; }  // 0 would mean no limit

// The control whose posted text limits were last checked, and the outcome;
// a control that ignores them would otherwise cost a wait each time.
HWND g_limitChecked = nullptr;
bool g_limitMarks = false;
// The control last found to answer with a text limit: an edit field stays
// one, and the question costs a round trip to its process.
HWND g_knownEdit = nullptr;

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
  // Sent, so the limit is the control's own again before the Enter's
  // markers begin; posted, the Enter's first marker would read the probe.
  if (end == TWaitEnd::kDone && probe != limit) end = wait.Ask(control, EM_SETLIMITTEXT, limit, 0, ignored);
  if (end != TWaitEnd::kDone) {
    (void)::PostMessageW(control, EM_SETLIMITTEXT, limit, 0);
    return end;
  }
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

// Posts the key (Enter or Tab) to the control as a typed key arrives: the key-down, then,
// once the thread has dispatched it (and so posted its WM_CHAR), the key-up;
// and waits until the key-up and everything before it were dispatched. The
// first marker follows the key-down, the second the key-up. stage says
// whether the key reached the control's queue.
TWaitEnd PostEndingKey(HWND control, BYTE vk, DWORD limit, TTargetWait* wait, TStage& stage) {
  const UINT scan = ::MapVirtualKeyExW(vk, MAPVK_VK_TO_VSC,
                                       ::GetKeyboardLayout(::GetWindowThreadProcessId(control, nullptr)));
  const auto post = [control, vk, scan](UINT msg, bool up) {
    return ::PostMessageW(control, msg, vk, KeyMessageLParam(static_cast<std::uint16_t>(scan), false, up)) != FALSE;
  };
  if (!post(WM_KEYDOWN, false)) return ::IsWindow(control) ? TWaitEnd::kHung : TWaitEnd::kGone;
  stage = TStage::kEnterIn;
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
    // Undoes the first marker when it comes; the key-up does not go: no key
    // of a barcode given up on may reach the target any more.
    (void)::PostMessageW(control, EM_SETLIMITTEXT, limit, 0);
    return end;
  }
  // A limit that the Enter handler set itself, seen before the first marker
  // came, is the one to keep.
  const DWORD restore = seen == shifted ? limit : seen;
  if (!post(WM_KEYUP, true) || !::PostMessageW(control, EM_SETLIMITTEXT, restore, 0)) return TWaitEnd::kHung;
  return PollLimit(control, *wait, [restore](DWORD v) { return v == restore; }, seen);
}

// WM_SETTEXT once. One that takes long is running with our text (a change
// handler at work), and sending it again would run it again; so the one
// send is made from a helper thread and waited for to the bound, while this
// thread's messages are handled. Not taken within 5 s, it is withdrawn;
// taken and still running then, its end is waited for.
TWaitEnd SetControlText(HWND control, const std::wstring& text, TTargetWait& wait, THelper& helper, bool& refused) {
  refused = false;
  struct TSend {
    HWND control;
    std::wstring text;
    DWORD timeoutMs;
    DWORD_PTR result = 0;
    bool sent = false;
  };
  auto send = std::make_shared<TSend>(TSend{control, text, std::clamp<DWORD>(wait.Left(), 1, kTakenWithinMs)});
  const std::shared_ptr<THelperCall> call = helper.Run([send] {
    send->sent = ::SendMessageTimeoutW(send->control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(send->text.c_str()),
                                       SMTO_ABORTIFHUNG, send->timeoutMs, &send->result) != 0;
  });
  if (const TWaitEnd end = wait.UntilDone(*call); end != TWaitEnd::kDone) return end;
  if (!send->sent) {
    if (!::IsWindow(control)) return TWaitEnd::kGone;
    if (::IsHungAppWindow(RootOf(control))) return TWaitEnd::kHung;
    // Taken, and its handler runs on: the next message it answers comes after.
    return wait.RoundTrip(control);
  }
  refused = send->result == FALSE || static_cast<LRESULT>(send->result) == CB_ERR;
  return TWaitEnd::kDone;
}

TDirectResult DirectResultOf(TWaitEnd end, TStage stage) {
  switch (OutcomeOf(end, stage)) {
    case TNotEntered::kNone: return TDirectResult::kEntered;
    case TNotEntered::kNoWindow: return TDirectResult::kGone;
    case TNotEntered::kEnded: return TDirectResult::kEnded;
    default: return TDirectResult::kHung;
  }
}

}  // namespace

TDirectResult SendTextToControl(HWND control, const std::wstring& text, TEnding ending, THelper& helper) {
  TTargetWait wait(control);
  // An edit field answers with its text limit. A control that only has an
  // edit's class name would take WM_SETTEXT as its caption and report
  // success: the barcode would be lost.
  if (control != g_knownEdit || !::IsWindow(control)) {
    DWORD_PTR editLimit = 0;
    if (const TWaitEnd end = wait.Ask(control, EM_GETLIMITTEXT, 0, 0, editLimit); end != TWaitEnd::kDone)
      return DirectResultOf(end, TStage::kNothingIn);
    if (editLimit == 0) return TDirectResult::kNotEdit;
    g_knownEdit = control;
  }
  bool refused = false;
  if (const TWaitEnd end = SetControlText(control, text, wait, helper, refused); end != TWaitEnd::kDone)
    return DirectResultOf(end, TStage::kNothingIn);
  if (refused) return TDirectResult::kRefused;
  const std::vector<TKeyEvent> key = EndingEvents(ending);
  if (key.empty()) return TDirectResult::kEntered;
  DWORD limit = 0;
  if (WaitForTarget()) {
    if (const TWaitEnd end = MarkableLimit(control, wait, limit); end != TWaitEnd::kDone)
      return DirectResultOf(end, TStage::kTextIn);
  }
  // Posted, not sent: the target's own loop must see them (dialog default
  // buttons, key previews); forms that act on the release get it too. The
  // next text may replace this one once they were handled.
  TStage stage = TStage::kTextIn;
  const TWaitEnd end = PostEndingKey(control, key.front().Vk, limit, WaitForTarget() ? &wait : nullptr, stage);
  return DirectResultOf(end, stage);
}

TDirectResult SendTextToControl(HWND control, const std::wstring& text, TEnding ending) {
  return SendTextToControl(control, text, ending, THelper::Free());
}

}  // namespace qm
