#include "input/InputSearch.h"

#include <dwmapi.h>

#include "input/InputSearchRules.h"
#include "platform/WideText.h"

namespace qm {
namespace {

bool Expired(const TInputSearch& s) {
  return s.Deadline != 0 && DeadlinePassed(::GetTickCount(), s.Deadline);
}

DWORD DeadlineAfter(DWORD ms) {
  if (ms == 0) return 0;
  DWORD deadline = ::GetTickCount() + ms;
  return deadline == 0 ? 1 : deadline;  // 0 would mean none
}

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
  s.FrontPid = 0;
  thread = 0;
  HWND fg = ::GetForegroundWindow();
  // A top-level window: its own style says whether it is visible.
  if (fg && fg != s.ExcludeWnd && (::GetWindowLongW(fg, GWL_STYLE) & WS_VISIBLE)) {
    DWORD pid = 0;
    DWORD fgThread = ::GetWindowThreadProcessId(fg, &pid);
    if (s.ExcludePid == 0 || pid != s.ExcludePid) {
      thread = fgThread;
      s.FrontPid = pid;
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

TControlFacts FactsFrom(HWND wnd, const std::wstring& cls, std::uint32_t style, bool visible, bool enabled) {
  TControlFacts f = ControlFacts(ToU16(cls), style, visible, enabled);
  if (!f.InputClass && !f.NoText) {
    wchar_t real[64];
    const UINT n = ::RealGetWindowClassW(wnd, real, 64);
    if (n > 0 && n < 64) f.NoText = TakesNoText(ToU16(std::wstring_view(real, n)), style);
  }
  return f;
}

TControlFacts FactsOf(HWND wnd, const std::wstring& cls) {
  return FactsFrom(wnd, cls, static_cast<std::uint32_t>(::GetWindowLongW(wnd, GWL_STYLE)), ::IsWindowVisible(wnd) != FALSE,
                   ::IsWindowEnabled(wnd) != FALSE);
}

// One walk from a control up to top: whether top holds it, whether it and
// every window above it up to top are visible and enabled (the field of a
// disabled panel takes no input either), and its own style.
struct TChain {
  bool Inside = false, Visible = true, Enabled = true;
  std::uint32_t Style = 0;
};
TChain ChainOf(HWND wnd, HWND top) {
  TChain c;
  c.Style = static_cast<std::uint32_t>(::GetWindowLongW(wnd, GWL_STYLE));
  for (HWND w = wnd;;) {
    const std::uint32_t style = w == wnd ? c.Style : static_cast<std::uint32_t>(::GetWindowLongW(w, GWL_STYLE));
    c.Visible = c.Visible && (style & WS_VISIBLE) != 0;
    c.Enabled = c.Enabled && (style & WS_DISABLED) == 0;
    if (w == top) {
      c.Inside = true;
      return c;
    }
    if (!(w = ::GetAncestor(w, GA_PARENT)) || w == ::GetDesktopWindow()) return c;
  }
}

// The first control inside parent the search may write, depth-first from the
// top of the z-order, refined to such a control inside it. Hidden and
// disabled windows are not gone into: nothing inside them takes input. A
// search's deadline holds inside a window too (one with thousands of
// children, or another process's that answers slowly). parent and all above
// it are visible and enabled: a child's own style then says it all.
bool FindCandidate(HWND parent, HWND& found, TControlFacts& facts, const TInputSearch* search = nullptr) {
  found = nullptr;
  if (!parent) return false;
  for (HWND child = ::GetWindow(parent, GW_CHILD); child; child = ::GetWindow(child, GW_HWNDNEXT)) {
    if (search && Expired(*search)) return false;
    const auto style = static_cast<std::uint32_t>(::GetWindowLongW(child, GWL_STYLE));
    const TControlFacts f = FactsFrom(child, ClassNameOf(child), style, (style & WS_VISIBLE) != 0,
                                      (style & WS_DISABLED) == 0);
    if (IsSearchCandidate(f)) {
      HWND nested = nullptr;
      if (FindCandidate(child, nested, facts, search) && nested) {
        found = nested;
      } else {
        found = child;
        facts = f;
      }
      return true;
    }
    if (f.Visible && f.Enabled && FindCandidate(child, found, facts, search)) return true;
  }
  return false;
}

// The control with the keyboard focus inside front, or 0 when the focus is
// front itself or outside it; chain is its walk up to front.
HWND FocusedChild(HWND front, DWORD thread, TChain& chain) {
  if (thread == 0) thread = ::GetWindowThreadProcessId(front, nullptr);
  const std::optional<GUITHREADINFO> info = GuiThreadInfo(thread);
  const HWND focus = info ? info->hwndFocus : nullptr;
  if (!focus || focus == front) return nullptr;
  chain = ChainOf(focus, front);
  return chain.Inside ? focus : nullptr;
}

void FindInput(TInputSearch& search) {
  search.FoundWnd = nullptr;
  search.NoTextFocus = false;
  DWORD thread = 0;
  const HWND front = FrontWindow(search, thread);
  if (!front) return;
  TChain chain;
  if (const HWND focus = FocusedChild(front, thread, chain)) {
    // Barcodes go into one field after the other: its class is read once.
    static HWND knownFocus = nullptr;
    static std::wstring knownClass;
    if (focus != knownFocus) {
      knownClass = ClassNameOf(focus);
      knownFocus = focus;
    }
    const TControlFacts facts = FactsFrom(focus, knownClass, chain.Style, chain.Visible, chain.Enabled);
    const TWay way = WayForFocus(facts);
    search.NoTextFocus = way == TWay::kNone;
    if (way != TWay::kDirect) return;  // the keys go where the focus is, if anywhere
    HWND inner = nullptr;
    TControlFacts innerFacts;
    search.FoundWnd = FindCandidate(focus, inner, innerFacts, &search) && inner && !innerFacts.MultiLine ? inner : focus;
    return;
  }
  HWND found = nullptr;
  TControlFacts facts;
  if (::IsWindowEnabled(front) && FindCandidate(front, found, facts, &search) && !facts.MultiLine)
    search.FoundWnd = found;
}

}  // namespace

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

std::optional<GUITHREADINFO> GuiThreadInfo(DWORD thread) {
  GUITHREADINFO info{};
  info.cbSize = sizeof(info);
  if (thread == 0 || !::GetGUIThreadInfo(thread, &info)) return std::nullopt;
  return info;
}

TInputSearch SearchFrom(HWND excludedWnd, DWORD excludedPid, DWORD timeLimitMs) {
  TInputSearch search;
  search.ExcludeWnd = excludedWnd;
  search.ExcludePid = excludedPid;
  search.Deadline = DeadlineAfter(timeLimitMs);
  return search;
}

bool IsInputClassName(std::wstring_view className) noexcept {
  return qm::IsInputClassName(std::u16string_view(reinterpret_cast<const char16_t*>(className.data()), className.size()));
}

bool FindInputChild(HWND parent, HWND& found) {
  found = nullptr;
  const TChain chain = parent ? ChainOf(parent, RootOf(parent)) : TChain{};
  TControlFacts facts;
  return chain.Inside && chain.Visible && chain.Enabled && FindCandidate(parent, found, facts);
}

TDwmFunctions& DwmFunctions() noexcept {
  static TDwmFunctions current{&::DwmGetWindowAttribute};
  return current;
}

bool IsCandidateWindow(HWND wnd, HWND excludedWnd, DWORD excludedPid) {
  if (!wnd || wnd == excludedWnd || !::IsWindow(wnd) || !::IsWindowVisible(wnd)) return false;
  if (excludedPid != 0 && ProcessOf(wnd) == excludedPid) return false;
  const LONG ex = ::GetWindowLongW(wnd, GWL_EXSTYLE);
  if ((ex & (WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE)) != 0) return false;
  // On another virtual desktop, or a suspended store app: visible by its
  // style, shown nowhere.
  DWORD cloaked = 0;
  return !(SUCCEEDED(DwmFunctions().GetWindowAttribute(wnd, DWMWA_CLOAKED, &cloaked, sizeof(cloaked))) && cloaked);
}

void FindInputControl(TInputSearch& search) { FindInput(search); }

HWND FindInputControl(HWND excludedWnd, DWORD excludedPid, DWORD timeLimitMs) {
  TInputSearch search = SearchFrom(excludedWnd, excludedPid, timeLimitMs);
  FindInputControl(search);
  return search.FoundWnd;
}

HWND PickTargetWindow(HWND ownWnd, DWORD ownPid) {
  TInputSearch search = SearchFrom(ownWnd, ownPid, 0);  // no time limit
  DWORD thread = 0;
  return FrontWindow(search, thread);
}

bool IsMultiLineControl(HWND control) { return FactsOf(control, ClassNameOf(control)).MultiLine; }

TControlFacts ControlFactsOf(HWND wnd) { return FactsOf(wnd, ClassNameOf(wnd)); }

}  // namespace qm
