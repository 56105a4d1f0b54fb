#pragma once
// Which way and which ending apply to a barcode: the defaults and the rules
// for single programs. Pure: no <windows.h>.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "input/KeyPlan.h"

namespace qm {

struct TDeliveryRule {
  TDeliveryWay Way = TDeliveryWay::kAuto;
  TEnding Ending = TEnding::kEnter;
};

// A rule for one program, by its executable's file name. Without an ending
// of its own, the default ending applies.
struct TAppRule {
  std::u16string Exe;
  TDeliveryWay Way = TDeliveryWay::kAuto;
  std::optional<TEnding> Ending;
};

inline constexpr std::uint32_t kMaxKeyDelayMs = 1000;

struct TDeliverySettings {
  TDeliveryRule Default;
  std::uint32_t KeyDelayMs = 0;  // between two characters on the keys way
  std::vector<TAppRule> Apps;
};

// File names compared as Windows compares them, without regard to letter
// case: ASCII, Latin-1, Greek and Cyrillic letters are folded.
bool SameExeName(std::u16string_view a, std::u16string_view b) noexcept;

// The rule in force for a program; ruled tells whether one of its own applied.
TDeliveryRule RuleFor(const TDeliverySettings& settings, std::u16string_view exe, bool* ruled = nullptr);

}  // namespace qm
