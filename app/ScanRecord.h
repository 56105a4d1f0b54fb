#pragma once
// What the program keeps and says of every received barcode: the row of the
// scan record (scans\YYYY-MM-DD.csv), the reply line to its sender, and the
// rule that holds back a repeated scan. Pure: no <windows.h>.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "input/DeliveryRules.h"

namespace qm {

// Local time, to the millisecond.
struct TScanTime {
  int Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0, Ms = 0;
};

// What became of one received barcode.
struct TScanResult {
  bool Repeat = false;  // held back: the delivery never ran
  TNotEntered Reason = TNotEntered::kNone;
};

// "2026-12-10.csv": one file per local day.
std::u16string ScanFileName(const TScanTime& t);
// The first row of a new file, after its byte-order mark.
inline constexpr char16_t kScanHeader[] = u"时间,来源,条码,结果\r\n";
// One field as CSV needs it: in quotes, inner quotes doubled, when it holds
// a comma, a quote or a line break.
std::u16string CsvField(std::u16string_view text);
// "2026-12-10 14:03:07.123,192.168.1.20,BARCODE,已录入" and CR LF. A barcode
// a spreadsheet would take for a formula gets a leading apostrophe.
std::u16string ScanRow(const TScanTime& t, std::uint32_t from, std::u16string_view barcode, const TScanResult& r);
// "OK" or "ERR " and a reason code, and CR LF.
std::string ReplyLine(const TScanResult& r);

// RepeatSeconds: 0 (off) to 3600; none for any other text. A missing key
// reads as empty, which is 0.
std::optional<std::int32_t> ParseRepeatSeconds(std::u16string_view text);

// A barcode equal to the last one received from the same address, within
// the window after it, is a repeat. Every barcode received, a repeat too,
// becomes that address's last.
class TRepeatRule {
 public:
  void SetSeconds(std::int32_t seconds);
  [[nodiscard]] bool IsRepeat(std::uint32_t from, std::u16string_view barcode, std::uint64_t nowMs);

  // Past this many addresses, those whose window has passed are forgotten.
  static constexpr std::size_t kPruneAt = 1024;

 private:
  struct TLast {
    std::u16string barcode;
    std::uint64_t at = 0;
  };
  std::uint64_t windowMs_ = 0;
  std::unordered_map<std::uint32_t, TLast> last_;
};

}  // namespace qm
