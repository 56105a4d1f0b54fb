#include "net/LineBudget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace qm {
namespace {

using namespace std::chrono_literals;

TEST(LineBudget, BlocksAtTheLineBoundUntilRoomIsGivenBack) {
  TLineBudget b(3, 1000);
  for (int i = 0; i < 3; ++i) b.Acquire(1);
  std::atomic<bool> got{false};
  std::thread t([&] {
    b.Acquire(1);
    got = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(got);  // a fourth line has to wait
  b.Release(1);
  t.join();
  EXPECT_TRUE(got);
  EXPECT_EQ(b.Lines(), 3u);
}

TEST(LineBudget, BoundsTheTextButLetsAHugeLineThroughAlone) {
  TLineBudget b(100, 10);
  b.Acquire(8);
  std::atomic<bool> got{false};
  std::thread t([&] {
    b.Acquire(50);  // larger than the bound: waits until nothing else waits
    got = true;
  });
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(got);
  b.Release(8);
  t.join();
  EXPECT_EQ(b.Units(), 50u);
}

TEST(LineBudget, ManyProducersOneConsumerNeverExceedTheBound) {
  TLineBudget b(16, 1 << 20);
  std::atomic<int> inFlight{0}, maxSeen{0}, produced{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < 8; ++p)
    producers.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        b.Acquire(3);
        int now = ++inFlight;
        int prev = maxSeen.load();
        while (now > prev && !maxSeen.compare_exchange_weak(prev, now)) {}
        ++produced;
      }
    });
  int consumed = 0;
  while (consumed < 16000) {
    if (inFlight.load() > 0) {
      --inFlight;
      b.Release(3);
      ++consumed;
    } else {
      std::this_thread::yield();
    }
  }
  for (auto& t : producers) t.join();
  EXPECT_EQ(produced, 16000);
  EXPECT_LE(maxSeen, 16);
  EXPECT_EQ(b.Lines(), 0u);
}

}  // namespace
}  // namespace qm
