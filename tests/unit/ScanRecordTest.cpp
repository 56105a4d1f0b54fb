#include "app/ScanRecord.h"

#include <gtest/gtest.h>

#include "platform/Utf8.h"

namespace qm {
namespace {

constexpr TScanTime kAt{2026, 1, 2, 3, 4, 5, 6};
constexpr std::uint32_t kFrom = 0xC0A80114;  // 192.168.1.20

std::string U8(const std::u16string& s) { return EncodeUtf8(s); }

TEST(ScanRecord, RowsCarryTimeSenderBarcodeAndResult) {
  EXPECT_EQ(ScanFileName(kAt), u"2026-01-02.csv");
  EXPECT_EQ(U8(ScanRow(kAt, kFrom, u"6901234567890", {})), "2026-01-02 03:04:05.006,192.168.1.20,6901234567890,已录入\r\n");
  const auto result = [](TScanResult r) {
    const std::string row = U8(ScanRow({2026, 12, 31, 23, 59, 59, 999}, 0x7F000001, u"A", r));
    return row.rfind("2026-12-31 23:59:59.999,127.0.0.1,A,", 0) == 0 ? row.substr(36) : row;
  };
  EXPECT_EQ(result({false, TNotEntered::kNotInput}), "未录入（焦点不在输入框上）\r\n");
  EXPECT_EQ(result({false, TNotEntered::kEnded}), "未录入（程序正在退出）\r\n");
  EXPECT_EQ(result({true, TNotEntered::kNone}), "已忽略（重复）\r\n");
}

TEST(ScanRecord, FieldsAreQuotedAndFormulasDisarmed) {
  EXPECT_EQ(CsvField(u"x\ny"), u"\"x\ny\"");
  const auto barcodeField = [](std::u16string_view b) {
    const std::u16string row = ScanRow(kAt, kFrom, b, {});
    const std::size_t start = row.find(u"192.168.1.20,") + 13;
    return row.substr(start, row.rfind(u",已录入") - start);
  };
  for (const char16_t* formula : {u"=1+2", u"+1", u"-1", u"@SUM(A1)", u"\tX"})
    EXPECT_EQ(barcodeField(formula), u"'" + std::u16string(formula)) << U8(formula);
  EXPECT_EQ(barcodeField(u"\rX"), u"\"'\rX\"");
  EXPECT_EQ(barcodeField(u"=HYPERLINK(\"x\",1)"), u"\"'=HYPERLINK(\"\"x\"\",1)\"");
  EXPECT_EQ(barcodeField(u"a,b"), u"\"a,b\"");
  EXPECT_EQ(barcodeField(u"A=1-2 条码"), u"A=1-2 条码");
}

TEST(ScanRecord, EachOutcomeHasItsReplyCode) {
  EXPECT_EQ(ReplyLine({}), "OK\r\n");
  EXPECT_EQ(ReplyLine({true, TNotEntered::kNone}), "ERR repeat\r\n");
  const std::pair<TNotEntered, const char*> codes[] = {
      {TNotEntered::kHung, "hung"},           {TNotEntered::kElevated, "elevated"},
      {TNotEntered::kNoWindow, "no-window"},  {TNotEntered::kClipboardBusy, "clipboard"},
      {TNotEntered::kPasteRefused, "paste-refused"}, {TNotEntered::kNotInput, "not-input"},
      {TNotEntered::kBlocked, "blocked"},     {TNotEntered::kEnded, "ended"}};
  for (const auto& [reason, code] : codes) EXPECT_EQ(ReplyLine({false, reason}), std::string("ERR ") + code + "\r\n");
}

TEST(ScanRecord, RepeatSecondsTakeZeroToAnHourAndNothingElse) {
  EXPECT_EQ(ParseRepeatSeconds(u""), 0);  // a missing key
  EXPECT_EQ(ParseRepeatSeconds(u"3600"), 3600);
  EXPECT_EQ(ParseRepeatSeconds(u" 0x10"), 16);
  for (const char16_t* bad : {u"3601", u"-1", u"abc", u"2 s", u"99999999999"})
    EXPECT_EQ(ParseRepeatSeconds(bad), std::nullopt) << U8(bad);
}

TEST(ScanRecord, ARepeatIsTheSameBarcodeFromTheSameAddressWithinTheWindow) {
  TRepeatRule rule;
  EXPECT_FALSE(rule.IsRepeat(1, u"A", 0) || rule.IsRepeat(1, u"A", 0));  // off by default
  rule.SetSeconds(2);
  EXPECT_FALSE(rule.IsRepeat(1, u"A", 0));
  EXPECT_TRUE(rule.IsRepeat(1, u"A", 2000));   // at the window's end
  EXPECT_TRUE(rule.IsRepeat(1, u"A", 4000));   // a held trigger: measured from the last one
  EXPECT_FALSE(rule.IsRepeat(1, u"A", 6001));
  EXPECT_FALSE(rule.IsRepeat(2, u"A", 6002));  // another sender
  EXPECT_TRUE(rule.IsRepeat(1, u"A", 6003));   // which reset nothing here
  EXPECT_FALSE(rule.IsRepeat(1, u"B", 6004));
  EXPECT_FALSE(rule.IsRepeat(1, u"A", 6005));  // a different barcode came between
  EXPECT_FALSE(rule.IsRepeat(1, u"a", 6006));  // case counts
  rule.SetSeconds(0);
  EXPECT_FALSE(rule.IsRepeat(1, u"a", 6007));
}

}  // namespace
}  // namespace qm
