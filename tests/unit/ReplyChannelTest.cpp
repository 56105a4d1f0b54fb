#include "net/ReplyChannel.h"

#include <gtest/gtest.h>

#include <string>

namespace qm {
namespace {

struct TWire {
  std::string got;
  std::size_t room = SIZE_MAX;  // bytes the socket takes before it is full
  bool broken = false;
  TReplyChannel::TSend Send() {
    return [this](const char* p, std::size_t n) -> long {
      if (broken) return -1;
      const std::size_t take = std::min(n, room);
      got.append(p, take);
      room -= take;
      return static_cast<long>(take);
    };
  }
};

TEST(ReplyChannel, RepliesLeaveInOrderAndTheChannelSettlesOnceAllLinesAreDone) {
  int wakes = 0;
  TReplyChannel c([&] { ++wakes; });
  TWire wire;
  EXPECT_TRUE(c.Settled());
  c.Expect();
  c.Expect();
  c.Answer("OK\r\n");
  c.Done();
  EXPECT_FALSE(c.Settled());  // the second line is still on its way
  c.Answer("ERR repeat\r\n");
  c.Done();
  EXPECT_EQ(wakes, 3);
  EXPECT_FALSE(c.Settled());  // sent it is not yet
  wire.room = 6;
  c.Flush(wire.Send());
  EXPECT_EQ(wire.got, "OK\r\nER");
  EXPECT_FALSE(c.Settled());
  wire.room = SIZE_MAX;
  c.Flush(wire.Send());
  EXPECT_EQ(wire.got, "OK\r\nERR repeat\r\n");
  EXPECT_TRUE(c.Settled());
  c.Detach();
  c.Expect();
  c.Done();
  EXPECT_EQ(wakes, 3);
}

TEST(ReplyChannel, PastTheCapRepliesAreDroppedWholeAndLaterOnesFitAgainOnceSent) {
  TReplyChannel c(nullptr);
  TWire wire;
  const std::string reply = "ERR not-input\r\n";
  std::size_t kept = 0;
  while ((kept + 1) * reply.size() <= TReplyChannel::kMaxPending) {
    c.Answer(reply);
    ++kept;
  }
  c.Answer(reply);
  c.Answer("OK\r\n");
  EXPECT_EQ(c.Dropped(), 2u);
  c.Flush(wire.Send());
  EXPECT_EQ(wire.got.size(), kept * reply.size());
  EXPECT_EQ(wire.got.substr(wire.got.size() - reply.size()), reply);
  c.Answer("OK\r\n");
  c.Flush(wire.Send());
  EXPECT_EQ(wire.got.substr(wire.got.size() - 4), "OK\r\n");
}

TEST(ReplyChannel, AFailedConnectionSettlesAtOnceAndTakesNoMoreReplies) {
  TReplyChannel c(nullptr);
  TWire wire;
  c.Expect();
  c.Answer("OK\r\n");
  wire.broken = true;
  c.Flush(wire.Send());
  EXPECT_TRUE(c.Settled());
  const std::uint64_t progress = c.Progress();
  c.Answer("OK\r\n");
  wire.broken = false;
  c.Flush(wire.Send());
  EXPECT_EQ(wire.got, "");
  EXPECT_EQ(c.Progress(), progress);
}

}  // namespace
}  // namespace qm
