#include "input/DirectWay.h"

#include <algorithm>

#include "input/DeliveryRules.h"
#include "input/TargetWait.h"

namespace qm {
namespace {

constexpr DWORD kSetTextSliceMs = 200;
constexpr int kEagerPolls = 8;  // then 1 ms apart

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

TDirectResult DirectResultOf(TWaitEnd end) {
  switch (end) {
    case TWaitEnd::kDone: return TDirectResult::kEntered;
    case TWaitEnd::kGone: return TDirectResult::kGone;
    case TWaitEnd::kEnded: return TDirectResult::kEnded;
    case TWaitEnd::kOverdue:
    case TWaitEnd::kHung:
    case TWaitEnd::kTimedOut: break;
  }
  return TDirectResult::kHung;
}

}  // namespace

TDirectResult SendTextToControl(HWND control, const std::wstring& text, bool pressEnter) {
  TTargetWait wait(control);
  bool refused = false;
  if (const TWaitEnd end = SetControlText(control, text, wait, refused); end != TWaitEnd::kDone)
    return DirectResultOf(end);
  if (refused) return TDirectResult::kRefused;
  if (!pressEnter) return TDirectResult::kEntered;
  DWORD limit = 0;
  if (WaitForTarget()) {
    if (const TWaitEnd end = MarkableLimit(control, wait, limit); end != TWaitEnd::kDone) return DirectResultOf(end);
  }
  // Posted, not sent: the target's own loop must see them (dialog default
  // buttons, key previews); forms that act on the release get it too. The
  // next text may replace this one once they were handled.
  return DirectResultOf(PostEnter(control, limit, WaitForTarget() ? &wait : nullptr));
}

}  // namespace qm
