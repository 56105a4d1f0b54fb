#include "net/ReplyChannel.h"

namespace qm {

void TReplyChannel::Expect() {
  std::lock_guard<std::mutex> lock(mu_);
  ++outstanding_;
}

void TReplyChannel::Answer(std::string_view reply) {
  std::lock_guard<std::mutex> lock(mu_);
  if (failed_) return;
  if (pending_.size() + reply.size() > kMaxPending) {
    ++dropped_;
    return;
  }
  pending_ += reply;
  if (wake_) wake_();
}

void TReplyChannel::Done() {
  std::lock_guard<std::mutex> lock(mu_);
  if (outstanding_) --outstanding_;
  ++progress_;
  // An answer woke the reader already; a drain waits for the last line.
  if (outstanding_ == 0 && wake_) wake_();
}

void TReplyChannel::Flush(const TSend& send) {
  std::lock_guard<std::mutex> lock(mu_);
  std::size_t sent = 0;
  while (!failed_ && sent < pending_.size()) {
    const long n = send(pending_.data() + sent, pending_.size() - sent);
    if (n == 0) break;
    if (n < 0) failed_ = true;
    else sent += static_cast<std::size_t>(n);
  }
  progress_ += sent;
  if (failed_) pending_.clear();
  else pending_.erase(0, sent);
}

bool TReplyChannel::Settled() const {
  std::lock_guard<std::mutex> lock(mu_);
  return failed_ || (outstanding_ == 0 && pending_.empty());
}

std::uint64_t TReplyChannel::Progress() const {
  std::lock_guard<std::mutex> lock(mu_);
  return progress_;
}

std::size_t TReplyChannel::Dropped() const {
  std::lock_guard<std::mutex> lock(mu_);
  return dropped_;
}

void TReplyChannel::Detach() {
  std::lock_guard<std::mutex> lock(mu_);
  wake_ = nullptr;
}

}  // namespace qm
