#include "input/DeliveryRules.h"

#include <gtest/gtest.h>

namespace qm {
namespace {

TControlFacts Field() {
  TControlFacts f;
  f.InputClass = f.Visible = f.Enabled = true;
  return f;
}

template <typename Change>
TControlFacts FieldWith(Change change) {
  TControlFacts f = Field();
  change(f);
  return f;
}

TEST(DeliveryWay, TheFocusedFieldIsWrittenOnlyWhenItTakesTextElseTheKeysGoWhereTheFocusIs) {
  EXPECT_EQ(WayForFocus(std::nullopt), TWay::kSearch);
  EXPECT_EQ(WayForFocus(Field()), TWay::kDirect);
  EXPECT_EQ(WayForFocus(FieldWith([](auto& f) { f.Password = true; })), TWay::kDirect);
  for (auto change : {+[](TControlFacts& f) { f.InputClass = false; },  // a button, a grid, a page
                      +[](TControlFacts& f) { f.Visible = false; }, +[](TControlFacts& f) { f.Enabled = false; },
                      +[](TControlFacts& f) { f.ReadOnly = true; }, +[](TControlFacts& f) { f.DropDownList = true; },
                      +[](TControlFacts& f) { f.MultiLine = true; }})
    EXPECT_EQ(WayForFocus(FieldWith(change)), TWay::kPaste);
}

TEST(DeliveryWay, StandardControlsThatTakeNoTextGetNoKeyAtAll) {
  for (const char16_t* cls : {u"Button", u"BUTTON", u"static", u"ScrollBar", u"SysListView32", u"SysTreeView32",
                              u"msctls_trackbar32", u"SysTabControl32", u"msctls_updown32", u"SysHeader32",
                              u"msctls_progress32"})
    EXPECT_TRUE(TakesNoText(cls, 0)) << std::string(cls, cls + std::char_traits<char16_t>::length(cls));
  EXPECT_TRUE(TakesNoText(u"ComboBox", 0x0003));    // CBS_DROPDOWNLIST
  EXPECT_FALSE(TakesNoText(u"ComboBox", 0x0002));   // CBS_DROPDOWN: its edit takes text
  // Fields, pages and toolkits' own controls: names only like the system's.
  for (const char16_t* cls : {u"Edit", u"TButtonEdit", u"ButtonX", u"Chrome_RenderWidgetHostHWND", u"RichEdit20W"})
    EXPECT_FALSE(TakesNoText(cls, 0x0003));
  EXPECT_EQ(WayForFocus(ControlFacts(u"Button", 0, true, true)), TWay::kNone);
  EXPECT_EQ(WayForFocus(ControlFacts(u"ComboBox", 0x0003, true, true)), TWay::kNone);
}

TEST(DeliveryWay, TheSearchSkipsHiddenDisabledReadOnlyPasswordAndDropDownListFields) {
  EXPECT_TRUE(IsSearchCandidate(Field()));
  EXPECT_TRUE(IsSearchCandidate(FieldWith([](auto& f) { f.MultiLine = true; })));  // found, then pasted into
  for (auto change : {+[](TControlFacts& f) { f.InputClass = false; }, +[](TControlFacts& f) { f.Visible = false; },
                      +[](TControlFacts& f) { f.Enabled = false; }, +[](TControlFacts& f) { f.ReadOnly = true; },
                      +[](TControlFacts& f) { f.Password = true; }, +[](TControlFacts& f) { f.DropDownList = true; }})
    EXPECT_FALSE(IsSearchCandidate(FieldWith(change)));
}

TEST(DeliveryWay, EditStylesCountOnlyForEditClassesAndTheListStyleOnlyForComboBoxes) {
  constexpr std::uint32_t kReadOnly = 0x0800, kPassword = 0x0020, kMultiLine = 0x0004;
  const TControlFacts edit = ControlFacts(u"Edit", kReadOnly | kPassword, true, true);
  EXPECT_TRUE(edit.InputClass && edit.ReadOnly && edit.Password && !edit.MultiLine && !edit.DropDownList);
  EXPECT_TRUE(ControlFacts(u"TEdit", kMultiLine, true, true).MultiLine);
  EXPECT_TRUE(ControlFacts(u"RICHEDIT50W", 0, true, true).MultiLine);  // a document, whatever its style
  EXPECT_TRUE(ControlFacts(u"TcxMemo", 0, true, true).MultiLine);
  EXPECT_TRUE(ControlFacts(u"ComboBox", 0x0003, true, true).DropDownList);    // CBS_DROPDOWNLIST
  EXPECT_FALSE(ControlFacts(u"ComboBox", 0x0002, true, true).DropDownList);   // CBS_DROPDOWN
  EXPECT_FALSE(ControlFacts(u"ComboBox", kReadOnly, true, true).ReadOnly);    // 0x0800 is another combo style
  const TControlFacts grid = ControlFacts(u"TGrid", kReadOnly | kPassword | 0x0003, true, false);
  EXPECT_TRUE(grid.InputClass && !grid.ReadOnly && !grid.Password && !grid.DropDownList && !grid.Enabled);
  EXPECT_FALSE(ControlFacts(u"Button", 0, true, true).InputClass);
}

TEST(DeliveryWait, AVanishedWindowHadTheBarcodeOnlyOnceItsTextAndEnterWereInAndAnUnaskedPasteIsRefused) {
  const TStage stages[] = {TStage::kNothingIn, TStage::kPasteOffered, TStage::kTextIn, TStage::kEnterIn};
  for (TStage stage : stages) {
    EXPECT_EQ(OutcomeOf(TWaitEnd::kDone, stage), TNotEntered::kNone);
    EXPECT_EQ(OutcomeOf(TWaitEnd::kGone, stage), stage == TStage::kEnterIn ? TNotEntered::kNone : TNotEntered::kNoWindow);
    EXPECT_EQ(OutcomeOf(TWaitEnd::kOverdue, stage),
              stage == TStage::kPasteOffered ? TNotEntered::kPasteRefused : TNotEntered::kHung);
    EXPECT_EQ(OutcomeOf(TWaitEnd::kHung, stage), TNotEntered::kHung);
    EXPECT_EQ(OutcomeOf(TWaitEnd::kEnded, stage), TNotEntered::kEnded);
  }
}

TEST(DeliveryWait, EnterFollowsAPasteOnlyOnceItWasTakenAndEveryKeyWasHandled) {
  EXPECT_TRUE(EnterMayFollow({true, false, true}));
  EXPECT_TRUE(EnterMayFollow({false, true, true}));   // another program made it render
  EXPECT_FALSE(EnterMayFollow({false, false, true}));  // nobody asked: a button, a page not done yet
  EXPECT_FALSE(EnterMayFollow({true, false, false}));
  EXPECT_FALSE(EnterMayFollow({false, true, false}));
}

TEST(DeliveryKeys, ABlockCutShortIsUndoneByReleasingWhatWentDownLastFirst) {
  const std::vector<TKeyEvent> paste{{0x11, false}, {0x56, false}, {0x56, true}, {0x11, true}};
  EXPECT_TRUE(KeysToRelease(paste, 0).empty());
  EXPECT_EQ(KeysToRelease(paste, 1), (std::vector<TKeyEvent>{{0x11, true}}));
  EXPECT_EQ(KeysToRelease(paste, 2), (std::vector<TKeyEvent>{{0x56, true}, {0x11, true}}));
  EXPECT_EQ(KeysToRelease(paste, 3), (std::vector<TKeyEvent>{{0x11, true}}));
  EXPECT_TRUE(KeysToRelease(paste, 4).empty());
  // A held modifier's release is not ours to undo; a key pressed again is released once.
  const std::vector<TKeyEvent> held{{0xA0, true}, {0x0D, false}, {0x0D, true}, {0x0D, false}};
  EXPECT_EQ(KeysToRelease(held, 9), (std::vector<TKeyEvent>{{0x0D, true}}));
}

TEST(DeliveryKeys, PostedKeyLParamsCarryRepeatScanCodeAndTheKeyUpBits) {
  EXPECT_EQ(KeyMessageLParam(0x1C, false, false), 0x001C0001u);
  EXPECT_EQ(KeyMessageLParam(0x1C, false, true), 0xC01C0001u);
  EXPECT_EQ(KeyMessageLParam(0xE01C, true, false), 0x011C0001u);  // the keypad's Enter
}

TEST(DeliveryKeys, HeldModifiersAreReleasedAroundTheKeysAltAndWinBehindAMask) {
  constexpr std::uint8_t kLShift = 0xA0, kRCtrl = 0xA3, kLAlt = 0xA4, kRWin = 0x5C;
  EXPECT_TRUE(ReleaseHeldModifiers({}).empty());
  EXPECT_EQ(ReleaseHeldModifiers({kLShift}), (std::vector<TKeyEvent>{{kLShift, true}}));
  EXPECT_EQ(ReleaseHeldModifiers({kRCtrl, kLAlt}),
            (std::vector<TKeyEvent>{{kMaskKey, false}, {kMaskKey, true}, {kRCtrl, true}, {kLAlt, true}}));
  EXPECT_EQ(ReleaseHeldModifiers({kRWin}), (std::vector<TKeyEvent>{{kMaskKey, false}, {kMaskKey, true}, {kRWin, true}}));
  // Pressed again only when still down; one the user let go of stays up.
  EXPECT_EQ(PressAgain({kRCtrl, kLAlt}, {}), (std::vector<TKeyEvent>{{kRCtrl, false}, {kLAlt, false}}));
  EXPECT_EQ(PressAgain({kRCtrl, kLAlt}, {kLAlt}), (std::vector<TKeyEvent>{{kRCtrl, false}}));
  EXPECT_TRUE(PressAgain({kLShift}, {kLShift}).empty());
}

TEST(DeliveryTarget, AHigherOrUnreadableIntegrityLevelIsOutOfReach) {
  constexpr std::uint32_t kLow = 0x1000, kMedium = 0x2000, kHigh = 0x3000, kSystem = 0x4000;
  EXPECT_FALSE(TargetOutOfReach(kMedium, kMedium));
  EXPECT_FALSE(TargetOutOfReach(kMedium, kLow));
  EXPECT_FALSE(TargetOutOfReach(kHigh, kHigh));  // both elevated
  EXPECT_TRUE(TargetOutOfReach(kMedium, kHigh));
  EXPECT_TRUE(TargetOutOfReach(kHigh, kSystem));
  EXPECT_TRUE(TargetOutOfReach(kHigh, std::nullopt));
  EXPECT_FALSE(TargetOutOfReach(std::nullopt, kMedium));  // our own unreadable: taken as medium
  EXPECT_TRUE(TargetOutOfReach(std::nullopt, kHigh));
}

TEST(DeliveryLog, EachReasonHasItsLineAndTheBarcodeIsCutAt200Characters) {
  EXPECT_EQ(NotEnteredLogLine(TNotEntered::kHung, u"A1"), u"条码未录入（目标程序无响应）：A1");
  EXPECT_EQ(NotEnteredLogLine(TNotEntered::kElevated, u"A1"), u"条码未录入（目标程序以管理员身份运行）：A1");
  EXPECT_EQ(NotEnteredLogLine(TNotEntered::kNoWindow, u"A1"), u"条码未录入（没有可录入的窗口）：A1");
  EXPECT_EQ(NotEnteredLogLine(TNotEntered::kClipboardBusy, u"A1"), u"条码未录入（剪贴板被占用）：A1");
  EXPECT_EQ(NotEnteredLogLine(TNotEntered::kPasteRefused, u"A1"), u"条码未录入（目标控件未接受粘贴）：A1");
  EXPECT_EQ(NotEnteredLogLine(TNotEntered::kNotInput, u"A1"), u"条码未录入（焦点不在输入框上）：A1");
  EXPECT_EQ(NotEnteredLogLine(TNotEntered::kBlocked, u"A1"), u"条码未录入（系统阻止了模拟按键）：A1");
  EXPECT_EQ(NotEnteredLogLine(TNotEntered::kNone, u"A1"), u"");
  EXPECT_EQ(NotEnteredLogLine(TNotEntered::kEnded, u"A1"), u"");

  const std::u16string prefix = u"条码未录入（剪贴板被占用）：";
  EXPECT_EQ(NotEnteredLogLine(TNotEntered::kClipboardBusy, std::u16string(201, u'x')), prefix + std::u16string(200, u'x'));
  // 199 letters and then characters outside the BMP: the 200th is kept whole.
  const std::u16string astral = u"\U0001F600";
  EXPECT_EQ(NotEnteredLogLine(TNotEntered::kClipboardBusy, std::u16string(199, u'y') + astral + astral),
            prefix + std::u16string(199, u'y') + astral);
}

TEST(DeliveryClick, EveryPixelIsHitWhicheverWayTheSystemRoundsTheAbsoluteCoordinate) {
  for (std::int32_t width : {1920, 3840, 1366, 7}) {
    for (std::int32_t origin : {0, -1920}) {
      for (std::int32_t p = origin; p < origin + width; ++p) {
        const std::int64_t n = AbsoluteMouseCoordinate(p, origin, width);
        ASSERT_GE(n, 0);
        ASSERT_LE(n, 65535);
        ASSERT_EQ(origin + n * width / 65536, p) << width << " " << origin;
        ASSERT_EQ(origin + (2 * n * (width - 1) + 65535) / (2 * 65535), p) << width << " " << origin;  // rounded
      }
    }
  }
  EXPECT_EQ(AbsoluteMouseCoordinate(-5, 0, 1920), AbsoluteMouseCoordinate(0, 0, 1920));  // clamped to the screen
}

}  // namespace
}  // namespace qm
