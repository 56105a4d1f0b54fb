// The full flood: 20 clients sending 200,000 lines of 200 characters as fast
// as they can into a target, through the real program. Under Wine it takes
// about half an hour, so it runs by hand (scripts/flood.sh), not in the suite,
// which floods 20,000 lines the same way.
#include <gtest/gtest.h>

#include "LoadFlood.h"

namespace {

using namespace qme2e;

TEST(LoadFloodFull, TwoHundredThousandLinesEveryLineOnceInBoundedMemory) {
  TDeliveryRig rig;
  ASSERT_TRUE(rig.Start());
  const TFloodFigures f = Flood(rig, 20, 10000, 120000);
  PrintFlood("full", 20, 10000, f);
  ExpectSoundFlood(f);
}

}  // namespace
