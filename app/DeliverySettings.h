#pragma once
// The delivery settings as config.ini writes them: the keys Delivery,
// Ending and KeyDelay of [Config] and the lines of [Apps]; and the log line
// that says what is in force. Pure: no <windows.h>.
#include <optional>
#include <string>
#include <vector>

#include "input/DeliveryChoice.h"

namespace qm {

struct TDeliveryConfig {
  std::optional<std::u16string> Delivery, Ending, KeyDelay;  // absent: not in the file
  std::vector<std::u16string> AppLines;                       // "EXE=WAY[,ENDING]", as in the file
};

struct TDeliveryReading {
  TDeliverySettings Settings;
  std::vector<std::u16string> Invalid;  // each as "KEY=VALUE"; its default is used
};

// Values without regard to ASCII letter case, blanks around them ignored.
// A second rule for the same program is invalid: the first one holds.
TDeliveryReading ReadDeliveryConfig(const TDeliveryConfig& config);

// "录入方式：默认 auto，结尾 enter，按键间隔 0 毫秒", then "；EXE：WAY" and
// "，结尾 ENDING" where the rule has one, for each program rule.
std::u16string DeliveryLine(const TDeliverySettings& settings);

}  // namespace qm
