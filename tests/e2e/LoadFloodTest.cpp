// The flood, scaled down for the normal suite: 20 clients, 20,000 lines of
// 200 characters (about 3 minutes under Wine, which enters some 110 lines a
// second). The full 200,000 lines run by hand: scripts/flood.sh.
#include <gtest/gtest.h>

#include "LoadFlood.h"

namespace {

using namespace qme2e;

TEST(LoadFlood, TwentyClientsAsFastAsTheyCanEveryLineOnceInBoundedMemory) {
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start());
  const TFloodFigures f = Flood(rig, 20, 1000);
  PrintFlood("scaled", 20, 1000, f);
  ExpectSoundFlood(f);
}

}  // namespace
