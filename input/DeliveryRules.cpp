#include "input/DeliveryRules.h"

#include <algorithm>

#include "input/InputSearchRules.h"

namespace qm {
namespace {

constexpr std::size_t kLoggedBarcodeChars = 200;

bool Contains(const std::vector<std::uint8_t>& keys, std::uint8_t vk) {
  return std::find(keys.begin(), keys.end(), vk) != keys.end();
}

bool IsAltOrWin(std::uint8_t vk) { return vk == 0xA4 || vk == 0xA5 || vk == 0x5B || vk == 0x5C; }

}  // namespace

std::u16string_view NotEnteredReason(TNotEntered reason) noexcept {
  switch (reason) {
    case TNotEntered::kHung: return u"目标程序无响应";
    case TNotEntered::kElevated: return u"目标程序以管理员身份运行";
    case TNotEntered::kNoWindow: return u"没有可录入的窗口";
    case TNotEntered::kClipboardBusy: return u"剪贴板被占用";
    case TNotEntered::kPasteRefused: return u"目标控件未接受粘贴";
    case TNotEntered::kNotInput: return u"焦点不在输入框上";
    case TNotEntered::kBlocked: return u"系统阻止了模拟按键";
    case TNotEntered::kNone:
    case TNotEntered::kEnded: break;
  }
  return {};
}

namespace {

// ASCII letters folded, as Windows compares class names.
bool SameClass(std::u16string_view a, std::u16string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto fold = [](char16_t c) { return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

constexpr std::u16string_view kNoTextClasses[] = {
    u"Button",          u"Static",          u"ScrollBar",       u"SysListView32",     u"SysTreeView32",
    u"msctls_trackbar32", u"SysTabControl32", u"msctls_updown32", u"SysHeader32", u"msctls_progress32",
};

}  // namespace

bool TakesNoText(std::u16string_view className, std::uint32_t style) noexcept {
  constexpr std::uint32_t kCbsDropDownList = 0x0003;
  if (SameClass(className, u"ComboBox")) return (style & 0x0003) == kCbsDropDownList;
  for (std::u16string_view c : kNoTextClasses)
    if (SameClass(className, c)) return true;
  return false;
}

TControlFacts ControlFacts(std::u16string_view className, std::uint32_t style, bool visible, bool enabled) noexcept {
  constexpr std::uint32_t kEsMultiLine = 0x0004, kEsPassword = 0x0020, kEsReadOnly = 0x0800, kCbsDropDownList = 0x0003;
  const auto has = [className](std::u16string_view part) { return className.find(part) != std::u16string_view::npos; };
  TControlFacts f;
  f.InputClass = IsInputClassName(className);
  f.Visible = visible;
  f.Enabled = enabled;
  f.NoText = TakesNoText(className, style);
  if (has(u"ComboBox") || has(u"COMBOBOX")) {
    f.DropDownList = (style & 0x0003) == kCbsDropDownList;
  } else if (has(u"Edit") || has(u"EDIT") || has(u"TcxText") || has(u"TcxMask") || has(u"TcxMemo") ||
             has(u"TInner")) {
    f.ReadOnly = (style & kEsReadOnly) != 0;
    f.Password = (style & kEsPassword) != 0;
    f.MultiLine = (style & kEsMultiLine) != 0 || IsRichEditClassName(className) || has(u"TcxMemo");
  }
  return f;
}

bool TakesText(const TControlFacts& c) noexcept { return c.Visible && c.Enabled && !c.ReadOnly && !c.DropDownList; }

bool IsSearchCandidate(const TControlFacts& c) noexcept { return c.InputClass && TakesText(c) && !c.Password; }

TWay WayForFocus(const std::optional<TControlFacts>& focus) noexcept {
  if (!focus) return TWay::kSearch;
  if (focus->NoText) return TWay::kNone;
  return focus->InputClass && TakesText(*focus) && !focus->MultiLine ? TWay::kDirect : TWay::kPaste;
}

std::uint32_t KeyMessageLParam(std::uint16_t scanCode, bool extended, bool up) noexcept {
  std::uint32_t lp = 1u | (static_cast<std::uint32_t>(scanCode & 0xFF) << 16);
  if (extended) lp |= 1u << 24;
  if (up) lp |= (1u << 30) | (1u << 31);
  return lp;
}

std::vector<TKeyEvent> ReleaseHeldModifiers(const std::vector<std::uint8_t>& held) {
  std::vector<TKeyEvent> events;
  if (std::any_of(held.begin(), held.end(), IsAltOrWin)) {
    events.push_back({kMaskKey, false});
    events.push_back({kMaskKey, true});
  }
  for (std::uint8_t vk : held) events.push_back({vk, true});
  return events;
}

std::vector<TKeyEvent> PressAgain(const std::vector<std::uint8_t>& held, const std::vector<std::uint8_t>& releasedMeanwhile) {
  std::vector<TKeyEvent> events;
  for (std::uint8_t vk : held)
    if (!Contains(releasedMeanwhile, vk)) events.push_back({vk, false});
  return events;
}

TNotEntered OutcomeOf(TWaitEnd end, TStage stage) noexcept {
  switch (end) {
    case TWaitEnd::kDone: return TNotEntered::kNone;
    case TWaitEnd::kGone: return stage == TStage::kEnterIn ? TNotEntered::kNone : TNotEntered::kNoWindow;
    case TWaitEnd::kOverdue: return stage == TStage::kPasteOffered ? TNotEntered::kPasteRefused : TNotEntered::kHung;
    case TWaitEnd::kTimedOut:
    case TWaitEnd::kHung: return TNotEntered::kHung;
    case TWaitEnd::kEnded: break;
  }
  return TNotEntered::kEnded;
}

bool EnterMayFollow(const TPasteSeen& seen) noexcept {
  return seen.KeysHandled && (seen.TakenByTarget || seen.RenderedElsewhere);
}

std::vector<TKeyEvent> KeysToRelease(const std::vector<TKeyEvent>& keys, std::size_t inserted) {
  std::vector<TKeyEvent> down;
  for (std::size_t i = 0; i < std::min(inserted, keys.size()); ++i) {
    TKeyEvent press = keys[i];
    press.Up = false;
    const auto at = std::find(down.begin(), down.end(), press);
    if (keys[i].Up) {
      if (at != down.end()) down.erase(at);
    } else if (at == down.end()) {
      down.push_back(press);
    }
  }
  std::vector<TKeyEvent> ups;
  for (auto it = down.rbegin(); it != down.rend(); ++it) {
    TKeyEvent up = *it;
    up.Up = true;
    ups.push_back(up);
  }
  return ups;
}

bool TargetOutOfReach(std::optional<std::uint32_t> ownLevel, std::optional<std::uint32_t> targetLevel) noexcept {
  if (!targetLevel) return true;
  return *targetLevel > ownLevel.value_or(kMediumIntegrity);
}

std::u16string NotEnteredLogLine(TNotEntered reason, std::u16string_view barcode) {
  const std::u16string_view why = NotEnteredReason(reason);
  if (why.empty()) return {};
  std::u16string line = u"条码未录入（";
  line += why;
  line += u"）：";
  line += LoggedBarcode(barcode);
  return line;
}

std::u16string_view LoggedBarcode(std::u16string_view barcode) noexcept {
  // 200 characters, not code units: a surrogate pair is never split.
  std::size_t end = 0;
  for (std::size_t chars = 0; end < barcode.size() && chars < kLoggedBarcodeChars; ++chars) {
    const bool pair = barcode[end] >= 0xD800 && barcode[end] <= 0xDBFF && end + 1 < barcode.size() &&
                      barcode[end + 1] >= 0xDC00 && barcode[end + 1] <= 0xDFFF;
    end += pair ? 2 : 1;
  }
  return barcode.substr(0, end);
}

std::int32_t AbsoluteMouseCoordinate(std::int32_t p, std::int32_t origin, std::int32_t extent) noexcept {
  if (extent <= 1) return 0;
  const std::int64_t w = extent, o = std::clamp<std::int64_t>(std::int64_t{p} - origin, 0, w - 1);
  // Systems map n back to a pixel as floor(n * w / 65536) or as n * (w - 1) /
  // 65535 rounded: take the middle of the values both map to this pixel.
  const auto ceilDiv = [](std::int64_t a, std::int64_t b) { return a >= 0 ? (a + b - 1) / b : -((-a) / b); };
  const std::int64_t floorLo = ceilDiv(o * 65536, w), floorHi = ((o + 1) * 65536 - 1) / w;
  const std::int64_t roundLo = ceilDiv((2 * o - 1) * 65535, 2 * (w - 1)),
                     roundHi = ceilDiv((2 * o + 1) * 65535, 2 * (w - 1)) - 1;
  const std::int64_t lo = std::max(floorLo, roundLo), hi = std::min(floorHi, roundHi);
  return static_cast<std::int32_t>(std::clamp<std::int64_t>(lo <= hi ? (lo + hi) / 2 : floorLo, 0, 65535));
}

}  // namespace qm
