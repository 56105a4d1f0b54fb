#include "net/ReplyChannel.h"

#include <gtest/gtest.h>

#include <string>

namespace qm {
namespace {

// A socket that takes room bytes, then is full; -1 once broken.
TReplyChannel::TSend Wire(std::string& got, std::size_t room = SIZE_MAX, bool broken = false) {
  return [&got, room, broken](const char* p, std::size_t n) mutable -> long {
    if (broken) return -1;
    const std::size_t take = std::min(n, room);
    got.append(p, take);
    room -= take;
    return static_cast<long>(take);
  };
}

TEST(ReplyChannel, RepliesLeaveInOrderAndTheChannelSettlesOnceAllLinesAreDoneAndSent) {
  int wakes = 0;
  TReplyChannel c([&] { ++wakes; });
  std::string got;
  c.Expect();
  c.Expect();
  c.Answer("OK\r\n");
  c.Done();
  c.Answer("ERR repeat\r\n");
  EXPECT_FALSE(c.Settled());  // the second line is still on its way
  c.Done();
  EXPECT_EQ(wakes, 3);        // each reply, and the last line done
  c.Flush(Wire(got, 6));
  EXPECT_EQ(got, "OK\r\nER");
  EXPECT_FALSE(c.Settled());
  c.Flush(Wire(got));
  EXPECT_EQ(got, "OK\r\nERR repeat\r\n");
  EXPECT_TRUE(c.Settled());
  c.Detach();
  c.Answer("OK\r\n");
  EXPECT_EQ(wakes, 3);
  // A failed connection settles at once and takes no more replies.
  c.Expect();
  c.Flush(Wire(got, SIZE_MAX, true));
  EXPECT_TRUE(c.Settled());
  c.Answer("OK\r\n");
  c.Flush(Wire(got));
  EXPECT_EQ(got, "OK\r\nERR repeat\r\n");
}

TEST(ReplyChannel, PastTheCapRepliesAreDroppedWholeAndLaterOnesFitAgainOnceSent) {
  TReplyChannel c(nullptr);
  std::string got;
  const std::string reply = "ERR not-input\r\n";
  const std::size_t fit = TReplyChannel::kMaxPending / reply.size();
  for (std::size_t i = 0; i < fit + 1; ++i) c.Answer(reply);
  c.Answer("OK\r\n");
  EXPECT_EQ(c.Dropped(), 2u);
  c.Flush(Wire(got));
  EXPECT_EQ(got.size(), fit * reply.size());
  EXPECT_EQ(got.substr(got.size() - reply.size()), reply);
  c.Answer("OK\r\n");
  c.Flush(Wire(got));
  EXPECT_EQ(got.substr(got.size() - 4), "OK\r\n");
}

}  // namespace
}  // namespace qm
