#include "app/ScanRecord.h"

#include <cstdio>

#include "app/IntegerSyntax.h"
#include "net/AddressRules.h"

namespace qm {
namespace {

std::u16string Digits(int value, int width) {
  char buf[16];
  std::snprintf(buf, sizeof(buf), "%0*d", width, value);
  return std::u16string(buf, buf + std::char_traits<char>::length(buf));
}

std::u16string ResultText(const TScanResult& r) {
  if (r.Repeat) return u"已忽略（重复）";
  if (r.Reason == TNotEntered::kNone) return u"已录入";
  const std::u16string_view why = NotEnteredReason(r.Reason);
  return u"未录入（" + std::u16string(why.empty() ? u"程序正在退出" : why) + u"）";
}

const char* ReasonCode(TNotEntered reason) {
  switch (reason) {
    case TNotEntered::kNone: break;
    case TNotEntered::kHung: return "hung";
    case TNotEntered::kElevated: return "elevated";
    case TNotEntered::kNoWindow: return "no-window";
    case TNotEntered::kClipboardBusy: return "clipboard";
    case TNotEntered::kPasteRefused: return "paste-refused";
    case TNotEntered::kNotInput: return "not-input";
    case TNotEntered::kBlocked: return "blocked";
    case TNotEntered::kEnded: return "ended";
  }
  return nullptr;
}

}  // namespace

std::u16string ScanFileName(const TScanTime& t) {
  return Digits(t.Year, 4) + u"-" + Digits(t.Month, 2) + u"-" + Digits(t.Day, 2) + u".csv";
}

std::u16string CsvField(std::u16string_view text) {
  if (text.find_first_of(u",\"\r\n") == std::u16string_view::npos) return std::u16string(text);
  std::u16string out = u"\"";
  for (char16_t c : text) {
    if (c == u'"') out += u'"';
    out += c;
  }
  return out + u"\"";
}

std::u16string ScanRow(const TScanTime& t, std::uint32_t from, std::u16string_view barcode, const TScanResult& r) {
  std::u16string guarded;
  if (!barcode.empty() && std::u16string_view(u"=+-@\t\r").find(barcode.front()) != std::u16string_view::npos)
    guarded = u"'";
  guarded += barcode;
  return Digits(t.Year, 4) + u"-" + Digits(t.Month, 2) + u"-" + Digits(t.Day, 2) + u" " + Digits(t.Hour, 2) + u":" +
         Digits(t.Minute, 2) + u":" + Digits(t.Second, 2) + u"." + Digits(t.Ms, 3) + u"," + FormatIpv4(from) + u"," +
         CsvField(guarded) + u"," + ResultText(r) + u"\r\n";
}

std::string ReplyLine(const TScanResult& r) {
  if (r.Repeat) return "ERR repeat\r\n";
  const char* code = ReasonCode(r.Reason);
  return code ? std::string("ERR ") + code + "\r\n" : "OK\r\n";
}

std::optional<std::int32_t> ParseRepeatSeconds(std::u16string_view text) {
  std::int32_t seconds = 0;
  if (text.empty()) return 0;
  if (!TryParseInt32(text, seconds) || seconds < 0 || seconds > 3600) return std::nullopt;
  return seconds;
}

void TRepeatRule::SetSeconds(std::int32_t seconds) {
  windowMs_ = seconds > 0 ? static_cast<std::uint64_t>(seconds) * 1000 : 0;
  if (!windowMs_) last_.clear();
}

bool TRepeatRule::IsRepeat(std::uint32_t from, std::u16string_view barcode, std::uint64_t nowMs) {
  if (!windowMs_) return false;
  if (last_.size() >= kPruneAt)
    for (auto it = last_.begin(); it != last_.end();)
      it = nowMs - it->second.at > windowMs_ ? last_.erase(it) : std::next(it);
  const auto [it, fresh] = last_.try_emplace(from);
  TLast& last = it->second;
  const bool repeat = !fresh && last.barcode == barcode && nowMs - last.at <= windowMs_;
  last.barcode.assign(barcode);
  last.at = nowMs;
  return repeat;
}

}  // namespace qm
