#include "app/DeliverySettings.h"

#include "app/IntegerSyntax.h"

namespace qm {
namespace {

std::u16string_view Trim(std::u16string_view s) {
  const auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
  while (!s.empty() && blank(s.front())) s.remove_prefix(1);
  while (!s.empty() && blank(s.back())) s.remove_suffix(1);
  return s;
}

std::optional<TAppRule> ParseAppLine(std::u16string_view line) {
  const std::size_t eq = line.find(u'=');
  if (eq == std::u16string_view::npos) return std::nullopt;
  TAppRule rule;
  rule.Exe = std::u16string(Trim(line.substr(0, eq)));
  std::u16string_view value = line.substr(eq + 1);
  const std::size_t comma = value.find(u',');
  const std::optional<TDeliveryWay> way = ParseDeliveryWay(Trim(value.substr(0, comma)));
  if (rule.Exe.empty() || !way) return std::nullopt;
  rule.Way = *way;
  if (comma != std::u16string_view::npos) {
    rule.Ending = ParseEnding(Trim(value.substr(comma + 1)));
    if (!rule.Ending) return std::nullopt;
  }
  return rule;
}

}  // namespace

TDeliveryReading ReadDeliveryConfig(const TDeliveryConfig& config) {
  TDeliveryReading out;
  TDeliverySettings& s = out.Settings;
  if (config.Delivery) {
    if (const auto way = ParseDeliveryWay(Trim(*config.Delivery))) s.Default.Way = *way;
    else out.Invalid.push_back(u"Delivery=" + *config.Delivery);
  }
  if (config.Ending) {
    if (const auto ending = ParseEnding(Trim(*config.Ending))) s.Default.Ending = *ending;
    else out.Invalid.push_back(u"Ending=" + *config.Ending);
  }
  if (config.KeyDelay) {
    std::int32_t ms = 0;
    if (TryParseInt32(Trim(*config.KeyDelay), ms) && ms >= 0 && static_cast<std::uint32_t>(ms) <= kMaxKeyDelayMs)
      s.KeyDelayMs = static_cast<std::uint32_t>(ms);
    else
      out.Invalid.push_back(u"KeyDelay=" + *config.KeyDelay);
  }
  for (const std::u16string& line : config.AppLines) {
    std::optional<TAppRule> rule = ParseAppLine(line);
    bool known = false;
    if (rule)
      for (const TAppRule& app : s.Apps) known = known || SameExeName(app.Exe, rule->Exe);
    if (!rule || known) out.Invalid.push_back(line);
    else s.Apps.push_back(std::move(*rule));
  }
  return out;
}

std::u16string DeliveryLine(const TDeliverySettings& settings) {
  std::u16string line = u"录入方式：默认 ";
  line += DeliveryWayName(settings.Default.Way);
  line += u"，结尾 ";
  line += EndingName(settings.Default.Ending);
  line += u"，按键间隔 ";
  const std::string ms = std::to_string(settings.KeyDelayMs);
  line.append(ms.begin(), ms.end());
  line += u" 毫秒";
  for (const TAppRule& app : settings.Apps) {
    line += u"；" + app.Exe + u"：";
    line += DeliveryWayName(app.Way);
    if (app.Ending) {
      line += u"，结尾 ";
      line += EndingName(*app.Ending);
    }
  }
  return line;
}

}  // namespace qm
