#include "input/BarcodeText.h"

#include <gtest/gtest.h>

#include "input/InputSearchRules.h"

namespace qm {
namespace {

TEST(BarcodeText, FileBytesAreBomTextAndCrLf) {
  EXPECT_EQ(BarcodeFileBytes(u"ABC\r"), std::string("\xEF\xBB\xBF" "ABC\r\r\n"));
  EXPECT_EQ(BarcodeFileBytes(u""), std::string("\xEF\xBB\xBF\r\n"));
  EXPECT_EQ(BarcodeFileBytes(u"a\nb\r\n"), std::string("\xEF\xBB\xBF" "a\nb\r\n\r\n"));
  EXPECT_EQ(BarcodeFileBytes(u"\u6761\u7801\U0001F600"),
            std::string("\xEF\xBB\xBF\xE6\x9D\xA1\xE7\xA0\x81\xF0\x9F\x98\x80\r\n"));
  // An unpaired surrogate cannot be UTF-8: it is written as U+FFFD.
  EXPECT_EQ(BarcodeFileBytes(std::u16string(1, u'\xD800')), std::string("\xEF\xBB\xBF\xEF\xBF\xBD\r\n"));
}

TEST(BarcodeText, TrailingBreaksAreStrippedAndAskForEnterOnce) {
  TDeliveryText t = StripTrailingBreaks(u"ABC\r");
  EXPECT_EQ(t.Text, u"ABC");
  EXPECT_TRUE(t.EnterWanted);

  t = StripTrailingBreaks(u"ABC\r\n\n\r");
  EXPECT_EQ(t.Text, u"ABC");
  EXPECT_TRUE(t.EnterWanted);

  t = StripTrailingBreaks(u"A\r\nB");
  EXPECT_EQ(t.Text, u"A\r\nB");  // inside the text they stay
  EXPECT_FALSE(t.EnterWanted);

  t = StripTrailingBreaks(u"\r\n\r");
  EXPECT_EQ(t.Text, u"");
  EXPECT_TRUE(t.EnterWanted);

  t = StripTrailingBreaks(u"");
  EXPECT_EQ(t.Text, u"");
  EXPECT_FALSE(t.EnterWanted);
}

TEST(InputSearchRules, ClassNamesMatchByCaseSensitiveSubstring) {
  for (const char16_t* name : {u"Edit", u"TEdit", u"TMaskEdit", u"RICHEDIT50W", u"RichEdit20W", u"ComboBoxEx32",
                               u"COMBOBOX", u"TcxTextEdit", u"TcxCustomInnerTextEdit", u"TdxBarEdit", u"TGridX",
                               u"TInplaceEditList", u"TElEdit", u"TJvEditor", u"WindowsForms10.EDIT.app.0.1"})
    EXPECT_TRUE(IsInputClassName(name)) << std::string(name, name + std::char_traits<char16_t>::length(name));
  for (const char16_t* name : {u"", u"edit", u"Static", u"Button", u"TMemo", u"combobox", u"Rich", u"TE"})
    EXPECT_FALSE(IsInputClassName(name)) << std::string(name, name + std::char_traits<char16_t>::length(name));
}

TEST(InputSearchRules, RichEditsAreKnownByTheirClass) {
  EXPECT_TRUE(IsRichEditClassName(u"RICHEDIT50W"));
  EXPECT_TRUE(IsRichEditClassName(u"RichEdit20W"));
  EXPECT_TRUE(IsRichEditClassName(u"TRichEdit"));
  EXPECT_FALSE(IsRichEditClassName(u"Edit"));
  EXPECT_FALSE(IsRichEditClassName(u"richedit"));
}

TEST(InputSearchRules, DeadlineSurvivesTheTickCountWrapping) {
  EXPECT_FALSE(DeadlinePassed(1000, 1200));
  EXPECT_FALSE(DeadlinePassed(1200, 1200));
  EXPECT_TRUE(DeadlinePassed(1201, 1200));
  // 200 ms before the wrap: the deadline lies just past it.
  const std::uint32_t now = 0xFFFFFFF0u, deadline = now + 200u;
  EXPECT_FALSE(DeadlinePassed(now, deadline));
  EXPECT_FALSE(DeadlinePassed(now + 100u, deadline));
  EXPECT_TRUE(DeadlinePassed(now + 201u, deadline));
}

}  // namespace
}  // namespace qm
