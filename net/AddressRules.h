#pragma once
// Address rules of the network intake: IPv4 text, the "AllowFrom" key of
// config.ini, the pace of a repeated line, and the line that tells the user
// which addresses a scanner can reach this PC at. Pure: no <windows.h>.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qm {

// IPv4 addresses are held in host order: 192.168.1.23 is 0xC0A80117.
constexpr std::uint32_t kThisPc = 0x7F000001;  // 127.0.0.1

// Four decimal numbers 0-255 joined by dots, each "0" or without a leading
// zero: no shortened, octal or hexadecimal forms, no blanks.
[[nodiscard]] bool ParseIpv4(std::u16string_view text, std::uint32_t& address) noexcept;
std::u16string FormatIpv4(std::uint32_t address);

struct TIpv4Range {
  std::uint32_t network = 0, mask = 0;
  bool Contains(std::uint32_t address) const noexcept { return (address & mask) == network; }
  bool operator==(const TIpv4Range&) const = default;
};

// An address ("10.0.0.7", the range of that one address) or a CIDR range
// ("192.168.1.0/24", prefix 0-32 without a leading zero; host bits ignored).
[[nodiscard]] bool ParseIpv4Range(std::u16string_view text, TIpv4Range& range) noexcept;

// The "AllowFrom" key: comma-separated addresses and ranges.
struct TAllowFrom {
  // More invalid entries than this are counted, not kept, so a mangled
  // file cannot flood the log.
  static constexpr std::size_t kMaxKeptInvalid = 50;

  bool everyone = true;  // the key is missing or empty
  std::vector<TIpv4Range> ranges;
  std::vector<std::u16string> invalid;  // as written, blanks around them removed
  std::size_t invalidCount = 0;         // invalid entries in all, kept or not

  // 127.0.0.1 is always admitted; other 127.x.x.x addresses are not special.
  bool Admits(std::uint32_t address) const noexcept;
};
// Blanks and tabs around entries are ignored, and so are empty entries; a
// value with no valid entry admits 127.0.0.1 only.
TAllowFrom ParseAllowFrom(std::u16string_view value);

// Paces a line: at most once per key (an address, say) per minute. Memory
// grows only with the keys logged within the last minute.
class TRefusalLog {
 public:
  static constexpr std::uint64_t kPeriodMs = 60000;

  bool ShouldLog(std::uint64_t key, std::uint64_t nowMs);
  std::size_t Remembered() const noexcept { return last_.size(); }

 private:
  std::unordered_map<std::uint64_t, std::uint64_t> last_;
  std::size_t pruneAt_ = 1024;
};

// One IPv4 address of one of this PC's interfaces.
struct TInterfaceAddress {
  std::uint32_t address = 0;
  bool usable = false;  // the interface is up and the address is in use
};

// What a scanner can connect to: usable addresses less loopback (127/8) and
// link-local ones (169.254/16), each once, in the system's order.
std::vector<std::uint32_t> ReachableAddresses(const std::vector<TInterfaceAddress>& all);

// "本机地址：192.168.1.23:20222, 10.0.0.5:20222", or "本机地址：无可用网络".
std::u16string LocalAddressLine(const std::vector<std::uint32_t>& reachable, std::uint16_t port);

}  // namespace qm
