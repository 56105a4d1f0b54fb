#include "net/LineBudget.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <string>
#include <chrono>
#include <thread>
#include <vector>

namespace qm {
namespace {

// Until n readers are blocked in Acquire; false once through gets set (a
// reader went through instead) or after 10 s.
bool UntilWaiting(const TLineBudget& b, std::size_t n, const std::atomic<bool>& through) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (b.Waiting() != n) {
    if (through || std::chrono::steady_clock::now() > end) return false;
    std::this_thread::yield();
  }
  return true;
}

// That releases short of half the room wake nobody saves thread switches:
// a cost, which nothing a reader sees can show.
TEST(LineBudget, BlocksAtTheLineBoundUntilRoomIsBack) {
  TLineBudget b(8, 1000);
  b.Acquire(8, 8);
  std::atomic<bool> got{false};
  std::thread t([&] {
    b.Acquire(2, 2);
    got = true;
  });
  const bool blocked = UntilWaiting(b, 1, got);
  EXPECT_FALSE(got);  // no room for more lines
  for (int i = 0; i < 4; ++i) b.Release(1);
  t.join();
  ASSERT_TRUE(blocked);
  EXPECT_TRUE(got);
  EXPECT_EQ(b.Lines(), 6u);
  EXPECT_EQ(b.Waiting(), 0u);
}

TEST(LineBudget, BoundsTheTextButLetsAHugeLineThroughAlone) {
  TLineBudget b(100, 10);
  b.Acquire(1, 8);
  std::atomic<bool> got{false};
  std::thread t([&] {
    b.Acquire(1, 50);  // larger than the bound: waits until nothing else waits
    got = true;
  });
  const bool blocked = UntilWaiting(b, 1, got);
  EXPECT_FALSE(got);
  b.Release(8);
  t.join();
  ASSERT_TRUE(blocked);
  EXPECT_EQ(b.Units(), 50u);
}

TEST(LineBudget, ManyProducersOneConsumerNeverExceedTheBound) {
  TLineBudget b(16, 1 << 20);
  // Producers take batches of 1 to 3 lines, the consumer gives back one.
  std::atomic<int> inFlight{0}, maxSeen{0};
  std::vector<std::thread> producers;
  for (int p = 0; p < 8; ++p)
    producers.emplace_back([&] {
      for (int i = 0; i < 600; ++i) {
        const int batch = i % 3 + 1;
        b.Acquire(batch, 3 * batch);
        int now = inFlight += batch;
        int prev = maxSeen.load();
        while (now > prev && !maxSeen.compare_exchange_weak(prev, now)) {}
      }
    });
  int consumed = 0;
  while (consumed < 8 * 1200) {
    if (inFlight.load() > 0) {
      --inFlight;
      b.Release(3);
      ++consumed;
    } else {
      std::this_thread::yield();
    }
  }
  for (auto& t : producers) t.join();
  EXPECT_LE(maxSeen, 16);
  EXPECT_EQ(b.Lines(), 0u);
  EXPECT_EQ(b.Units(), 0u);
}

TEST(LineBudget, RoomOfLinesThatCouldNotBeQueuedIsGivenBack) {
  TLineBudget b(4, 100);
  const std::vector<std::u16string> lines = {u"A1", u"B22", u"C333", u"D4444"};
  std::vector<std::u16string> queued;
  EXPECT_THROW(b.QueueAll(lines,
                          [&](const std::u16string& line) {
                            if (queued.size() == 2) throw std::bad_alloc();
                            queued.push_back(line);
                          }),
               std::bad_alloc);
  EXPECT_EQ(b.Lines(), 2u);  // only the two queued still hold room
  EXPECT_EQ(b.Units(), 5u);
  for (const std::u16string& line : queued) b.Release(line.size());
  EXPECT_EQ(b.Lines(), 0u);
  EXPECT_EQ(b.Units(), 0u);
}

}  // namespace
}  // namespace qm
