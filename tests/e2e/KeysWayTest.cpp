// The keys way through the real program: a page that reads only typed keys,
// a rule for one program, Tab as the ending, a pause between keys, and the
// hint where a paste was not taken.
#include <gtest/gtest.h>

#include <algorithm>

#include "WireRig.h"

namespace {

using namespace qme2e;
using Texts = std::vector<std::wstring>;

const std::vector<std::wstring> kPage = {L"--controls", L"canvas", L"--focus", L"canvas"};

TEST(KeysWay, WithDeliveryKeysAPageThatReadsOnlyTypedKeysGetsEachBarcodeAndItsEnter) {
  TDeliveryRig rig(kPage);
  ASSERT_TRUE(rig.Start("AutoStart=0\r\nDelivery=Keys\r\n"));
  EXPECT_TRUE(rig.app.WaitLogContains(L"录入方式：默认 keys，结尾 enter，按键间隔 0 毫秒", 5000));
  ASSERT_TRUE(SendLines(rig.port, U8(L"PG1\r\n条码2\r\n")));
  ASSERT_TRUE(rig.WaitEnteredCount(2, 10000, L"canvas")) << rig.Entered(L"canvas").size();
  EXPECT_EQ(U8(rig.Entered(L"canvas")), U8(Texts{L"PG1", L"条码2"}));
  EXPECT_TRUE(rig.Seen(L"WM_PASTE", L"canvas").empty());
}

// The default way would paste into the page, which takes no paste: the rule
// for this program alone types, with the pause between characters.
TEST(KeysWay, ARuleForTheProgramTypesItsBarcodesKeyDelayApartEndedByTheRulesTab) {
  TDeliveryRig rig(kPage);
  ASSERT_TRUE(rig.Start("AutoStart=0\r\nKeyDelay=40\r\n[Apps]\r\nnotepad.exe=paste\r\nQMTARGET.EXE=keys,tab\r\n"));
  EXPECT_TRUE(rig.app.WaitLogContains(
      L"录入方式：默认 auto，结尾 enter，按键间隔 40 毫秒；notepad.exe：paste；QMTARGET.EXE：keys，结尾 tab", 5000));
  const DWORD start = ::GetTickCount();
  ASSERT_TRUE(SendLines(rig.port, "SLOW-KEYS-123\r\n"));
  ASSERT_TRUE(WaitFor([&] { return !rig.Seen(L"TAB", L"canvas").empty(); }, 10000));
  // 13 characters and the Tab: 13 pauses of 40 ms at least.
  EXPECT_GE(::GetTickCount() - start, 13u * 40u);
  EXPECT_EQ(U8(rig.Seen(L"TAB", L"canvas")), U8(Texts{L"SLOW-KEYS-123"}));
  EXPECT_TRUE(rig.Entered(L"canvas").empty());
}

// Tab on the direct way too; where a paste is not taken, the log says once
// per program that the keys way may help.
TEST(KeysWay, EndingTabOnTheDirectWayAndTheHintOnceForAPasteNotTaken) {
  TDeliveryRig rig({L"--controls", L"canvas,edit1", L"--focus", L"edit1"});
  ASSERT_TRUE(rig.Start("AutoStart=0\r\nEnding=tab\r\n"));
  ASSERT_TRUE(SendLines(rig.port, "E-1\r\n"));
  ASSERT_TRUE(WaitFor([&] { return !rig.Seen(L"TAB").empty(); }, 10000));
  EXPECT_EQ(U8(rig.Seen(L"TAB")), U8(Texts{L"E-1"}));
  EXPECT_TRUE(rig.Entered().empty());

  ASSERT_TRUE(::PostMessageW(rig.target.Main(), WM_APP + 1, 0, 0));  // the canvas
  ASSERT_TRUE(rig.target.Sync());
  ASSERT_TRUE(SendLines(rig.port, "H-1\r\nH-2\r\n"));
  // Wine sometimes counts the idle target as hung while our input is
  // attached to it, and H-2 then ends as 目标程序无响应: any end of H-2 will do.
  ASSERT_TRUE(WaitFor(
      [&] {
        const Texts log = rig.app.LogMessages();
        return !log.empty() && log.back().rfind(L"条码未录入（", 0) == 0 && log.back().find(L"）：H-2") != std::wstring::npos;
      },
      30000));
  Texts hints;
  for (const std::wstring& m : rig.app.LogMessages())
    if (m.rfind(L"提示：", 0) == 0) hints.push_back(m);
  const Texts log = rig.app.LogMessages();
  EXPECT_NE(std::find(log.begin(), log.end(), L"条码未录入（目标控件未接受粘贴）：H-1"), log.end());
  EXPECT_EQ(U8(hints), U8(Texts{L"提示：该程序可能只接受键盘输入，可在 config.ini 的 [Apps] 中加入 QmTarget.exe=keys"}));
}

}  // namespace
