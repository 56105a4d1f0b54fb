#include "net/AddressRules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

namespace qm {
namespace {

constexpr std::uint32_t Ip(unsigned a, unsigned b, unsigned c, unsigned d) { return a << 24 | b << 16 | c << 8 | d; }

std::optional<std::uint32_t> Parse(std::u16string_view s) {
  std::uint32_t v = 0xDEADBEEF;
  if (!ParseIpv4(s, v)) return std::nullopt;
  return v;
}

std::string Narrow(const std::u16string& s) { return std::string(s.begin(), s.end()); }

TEST(AddressRules, Ipv4IsFourDecimalNumbersAndNothingElse) {
  EXPECT_EQ(Parse(u"192.168.1.23"), Ip(192, 168, 1, 23));
  EXPECT_EQ(Parse(u"0.0.0.0"), 0u);
  EXPECT_EQ(Parse(u"255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(Parse(u"10.0.100.7"), Ip(10, 0, 100, 7));
  for (auto s : {u"", u"1.2.3", u"1.2.3.4.5", u"10.1", u"10", u"256.1.1.1", u"1.2.3.256", u"1.2.3.1000",
                 u"010.0.0.1", u"1.2.3.04", u"00.1.1.1", u"0x0A.0.0.1", u"0xA000001", u"167772161",
                 u"1.2.3.4 ", u" 1.2.3.4", u"1. 2.3.4", u"1..3.4", u"1.2.3.", u".1.2.3", u"1.2.3.4/",
                 u"-1.2.3.4", u"+1.2.3.4", u"１.２.３.４", u"1,2,3,4", u"a.b.c.d"})
    EXPECT_FALSE(Parse(s)) << Narrow(s);
  for (std::uint32_t a : {0u, Ip(1, 2, 3, 4), Ip(10, 0, 0, 255), Ip(172, 16, 254, 1), 0xFFFFFFFFu})
    EXPECT_EQ(Parse(FormatIpv4(a)), a);
  EXPECT_EQ(Narrow(FormatIpv4(Ip(192, 168, 1, 23))), "192.168.1.23");
}

TEST(AddressRules, RangesIgnoreHostBitsAndTakePrefixesZeroToThirtyTwo) {
  TIpv4Range r;
  ASSERT_TRUE(ParseIpv4Range(u"192.168.1.77/24", r));
  EXPECT_EQ(r, (TIpv4Range{Ip(192, 168, 1, 0), 0xFFFFFF00u}));
  EXPECT_TRUE(r.Contains(Ip(192, 168, 1, 0)));
  EXPECT_TRUE(r.Contains(Ip(192, 168, 1, 255)));
  EXPECT_FALSE(r.Contains(Ip(192, 168, 2, 1)));
  ASSERT_TRUE(ParseIpv4Range(u"10.0.0.7", r));
  EXPECT_EQ(r, (TIpv4Range{Ip(10, 0, 0, 7), 0xFFFFFFFFu}));
  EXPECT_FALSE(r.Contains(Ip(10, 0, 0, 6)));
  ASSERT_TRUE(ParseIpv4Range(u"10.0.0.7/32", r));
  EXPECT_EQ(r, (TIpv4Range{Ip(10, 0, 0, 7), 0xFFFFFFFFu}));
  ASSERT_TRUE(ParseIpv4Range(u"1.2.3.4/0", r));  // everyone
  EXPECT_EQ(r, (TIpv4Range{0, 0}));
  EXPECT_TRUE(r.Contains(0xFFFFFFFFu));
  ASSERT_TRUE(ParseIpv4Range(u"255.255.255.255/1", r));
  EXPECT_EQ(r, (TIpv4Range{0x80000000u, 0x80000000u}));
  for (auto s : {u"10.0.0.0/33", u"10.0.0.0/-1", u"10.0.0.0/", u"10.0.0.0/08", u"10.0.0.0/100", u"10.0.0.0/8/8",
                 u"10.0.0.0 /8", u"10.0.0.0/ 8", u"10.0.0.0/8 ", u"10.0/8", u"10.0.0.0/0x8", u"10.0.0.0/８"})
    EXPECT_FALSE(ParseIpv4Range(s, r)) << Narrow(s);
}

TEST(AddressRules, AMissingOrEmptyKeyAdmitsEveryone) {
  for (auto s : {u"", u"   ", u"\t \t"}) {
    const TAllowFrom a = ParseAllowFrom(s);
    EXPECT_TRUE(a.everyone);
    EXPECT_TRUE(a.Admits(Ip(8, 8, 8, 8)));
    EXPECT_EQ(a.invalidCount, 0u);
  }
}

TEST(AddressRules, AListAdmitsItsAddressesAndRangesAndThisPcOnly) {
  const TAllowFrom a = ParseAllowFrom(u"192.168.1.0/24, 10.0.0.7 ,\t172.16.0.0/12");
  EXPECT_FALSE(a.everyone);
  EXPECT_EQ(a.ranges.size(), 3u);
  EXPECT_TRUE(a.invalid.empty());
  EXPECT_TRUE(a.Admits(Ip(192, 168, 1, 200)));
  EXPECT_TRUE(a.Admits(Ip(10, 0, 0, 7)));
  EXPECT_TRUE(a.Admits(Ip(172, 31, 255, 255)));
  EXPECT_TRUE(a.Admits(kThisPc));
  EXPECT_FALSE(a.Admits(Ip(192, 168, 2, 1)));
  EXPECT_FALSE(a.Admits(Ip(10, 0, 0, 8)));
  EXPECT_FALSE(a.Admits(Ip(172, 32, 0, 0)));
  EXPECT_FALSE(a.Admits(Ip(127, 0, 0, 2)));  // only 127.0.0.1 is this PC's own
  EXPECT_FALSE(a.Admits(Ip(127, 1, 0, 1)));
}

TEST(AddressRules, InvalidEntriesAreKeptAsWrittenAndIgnored) {
  const TAllowFrom a = ParseAllowFrom(u" 010.0.0.1 , 10.0.0.0/24,, 1.2.3 ,192.168.1.0/33,  中文  , ,10.1.2.3，10.9.9.9,");
  EXPECT_FALSE(a.everyone);
  EXPECT_EQ(a.ranges, (std::vector<TIpv4Range>{{Ip(10, 0, 0, 0), 0xFFFFFF00u}}));
  // Empty entries are no entries; a full-width comma separates nothing.
  EXPECT_EQ(a.invalid, (std::vector<std::u16string>{u"010.0.0.1", u"1.2.3", u"192.168.1.0/33", u"中文",
                                                    u"10.1.2.3，10.9.9.9"}));
  EXPECT_EQ(a.invalidCount, 5u);
  EXPECT_TRUE(a.Admits(Ip(10, 0, 0, 99)));
  EXPECT_FALSE(a.Admits(Ip(10, 1, 2, 3)));
}

TEST(AddressRules, AKeyWithoutAValidEntryAdmitsThisPcOnly) {
  for (auto s : {u",", u"abc", u"0.0.0.0/33, 300.1.1.1", u"*"}) {
    const TAllowFrom a = ParseAllowFrom(s);
    EXPECT_FALSE(a.everyone) << Narrow(s);
    EXPECT_TRUE(a.ranges.empty());
    EXPECT_TRUE(a.Admits(kThisPc));
    EXPECT_FALSE(a.Admits(Ip(192, 168, 1, 2)));
    EXPECT_FALSE(a.Admits(Ip(127, 0, 0, 2)));
  }
}

TEST(AddressRules, AMangledKeyKeepsOnlyTheFirstInvalidEntries) {
  std::u16string value;
  for (int i = 0; i < 10000; ++i) value += u"x" + std::u16string(1, static_cast<char16_t>(u'a' + i % 26)) + u",";
  value += u"10.0.0.1";
  const TAllowFrom a = ParseAllowFrom(value);
  EXPECT_EQ(a.invalid.size(), TAllowFrom::kMaxKeptInvalid);
  EXPECT_EQ(a.invalid.front(), u"xa");
  EXPECT_EQ(a.invalidCount, 10000u);
  EXPECT_TRUE(a.Admits(Ip(10, 0, 0, 1)));
}

TEST(AddressRules, ARefusalIsLoggedOncePerAddressPerMinute) {
  TRefusalLog log;
  const std::uint64_t t = 5'000'000;
  EXPECT_TRUE(log.ShouldLog(Ip(10, 0, 0, 1), t));
  EXPECT_FALSE(log.ShouldLog(Ip(10, 0, 0, 1), t + 1));
  EXPECT_TRUE(log.ShouldLog(Ip(10, 0, 0, 2), t + 1));  // another address
  EXPECT_FALSE(log.ShouldLog(Ip(10, 0, 0, 1), t + 59'999));
  EXPECT_TRUE(log.ShouldLog(Ip(10, 0, 0, 1), t + 60'000));
  EXPECT_FALSE(log.ShouldLog(Ip(10, 0, 0, 1), t + 60'001));  // the minute starts again
}

TEST(AddressRules, TheRefusalLogForgetsAddressesOfEarlierMinutes) {
  TRefusalLog log;
  // An hour of refusals, 2,000 new addresses a minute: memory follows the
  // addresses of the last minute, not all ever seen.
  std::size_t most = 0;
  for (std::uint64_t minute = 0; minute < 60; ++minute)
    for (std::uint32_t i = 0; i < 2'000; ++i) {
      ASSERT_TRUE(log.ShouldLog(Ip(10, 0, 0, 0) + static_cast<std::uint32_t>(minute) * 2'000 + i,
                                minute * 60'000 + i * 30));
      most = std::max(most, log.Remembered());
    }
  EXPECT_LE(most, 8'192u);
  EXPECT_FALSE(log.ShouldLog(Ip(10, 0, 0, 0) + 59 * 2'000, 59 * 60'000 + 60'000 - 1));
  EXPECT_TRUE(log.ShouldLog(Ip(10, 0, 0, 0), 60 * 60'000));
}

TEST(AddressRules, TheAddressLineListsReachableAddressesWithThePort) {
  const std::vector<TInterfaceAddress> all = {
      {Ip(127, 0, 0, 1), true},     {Ip(192, 168, 1, 23), true}, {Ip(169, 254, 10, 1), true},
      {Ip(10, 0, 0, 5), true},      {Ip(172, 16, 0, 9), false},  {Ip(192, 168, 1, 23), true},
      {Ip(127, 5, 5, 5), true},     {Ip(169, 253, 0, 1), true},  {Ip(169, 255, 0, 1), true},
  };
  const std::vector<std::uint32_t> reachable = ReachableAddresses(all);
  EXPECT_EQ(reachable, (std::vector<std::uint32_t>{Ip(192, 168, 1, 23), Ip(10, 0, 0, 5), Ip(169, 253, 0, 1),
                                                   Ip(169, 255, 0, 1)}));
  EXPECT_EQ(LocalAddressLine({Ip(192, 168, 1, 23), Ip(10, 0, 0, 5)}, 20222),
            u"本机地址：192.168.1.23:20222, 10.0.0.5:20222");
  EXPECT_EQ(LocalAddressLine({Ip(10, 0, 0, 5)}, 1), u"本机地址：10.0.0.5:1");
  EXPECT_EQ(LocalAddressLine({}, 20222), u"本机地址：无可用网络");
  EXPECT_EQ(LocalAddressLine(ReachableAddresses({{Ip(127, 0, 0, 1), true}, {Ip(169, 254, 1, 1), true},
                                                 {Ip(10, 1, 1, 1), false}}),
                             65535),
            u"本机地址：无可用网络");
}

}  // namespace
}  // namespace qm
