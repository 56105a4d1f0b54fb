// Bursts over one connection through the real program: each barcode must be
// entered once, with its own text, before the next replaces the field or the
// clipboard.
#include <gtest/gtest.h>

#include "WireRig.h"

namespace {

using namespace qme2e;

std::vector<std::wstring> Numbered(const std::wstring& prefix, int count) {
  std::vector<std::wstring> out;
  for (int i = 0; i < count; ++i) out.push_back(prefix + std::to_wstring(i));
  return out;
}

std::string Burst(const std::vector<std::wstring>& texts) {
  std::string bytes;
  for (const std::wstring& t : texts) bytes += U8(t) + "\r\n";
  return bytes;
}

TEST(DeliveryBurst, AThousandByTheDirectWayOverOneConnectionEachOnceInOrder) {
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start());
  const std::vector<std::wstring> texts = Numbered(L"D-", 1000);
  ASSERT_TRUE(SendLines(rig.port, Burst(texts)));
  ASSERT_TRUE(rig.WaitEntered(texts.back(), 120000)) << rig.Entered().size();
  EXPECT_EQ(U8(rig.UntilMark()), U8(texts));
  EXPECT_EQ(rig.Seen(L"WM_SETTEXT"), rig.Entered());
}

// A multi-line field takes the paste way; the target empties it at each
// Enter, so each Enter shows exactly what that paste put in.
TEST(DeliveryBurst, TwoHundredByThePasteWayOverOneConnectionEachOnceInOrder) {
  TDeliveryRig rig({L"--controls", L"memo", L"--focus", L"memo", L"--clear-on-enter"});
  ASSERT_TRUE(rig.Start());
  const std::vector<std::wstring> texts = Numbered(L"P-", 200);
  ASSERT_TRUE(SendLines(rig.port, Burst(texts)));
  ASSERT_TRUE(rig.WaitEntered(texts.back(), 120000, L"memo")) << rig.Entered(L"memo").size();
  EXPECT_EQ(U8(rig.UntilMark(L"memo")), U8(texts));
  EXPECT_EQ(U8(rig.Seen(L"PASTED", L"memo")), U8(rig.Entered(L"memo")));
}

}  // namespace
