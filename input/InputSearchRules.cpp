#include "input/InputSearchRules.h"

namespace qm {
namespace {

constexpr std::u16string_view kInputClasses[] = {
    u"Edit",      u"EDIT",    u"RICHEDIT", u"RichEdit",  u"RichEdit20",  u"ComboBox", u"COMBOBOX",
    u"TComboBox", u"TdxBarEdit", u"TcxText", u"TcxMask", u"TcxMemo", u"TInner",  u"TJvEditor",
    u"TXEdit",    u"TButtonEdit", u"TGrid", u"TInplace", u"TEl",
};

}  // namespace

bool IsInputClassName(std::u16string_view className) noexcept {
  for (std::u16string_view entry : kInputClasses)
    if (className.find(entry) != std::u16string_view::npos) return true;
  return false;
}

bool IsRichEditClassName(std::u16string_view className) noexcept {
  return className.find(u"RICHEDIT") != std::u16string_view::npos ||
         className.find(u"RichEdit") != std::u16string_view::npos;
}

bool DeadlinePassed(std::uint32_t now, std::uint32_t deadline) noexcept {
  return static_cast<std::int32_t>(now - deadline) > 0;
}

}  // namespace qm
