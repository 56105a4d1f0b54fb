#pragma once
// The replies of one connection on their way from the main thread to its
// reader, which alone writes to the socket, without ever waiting for it.
// Bounded: a sender that does not read loses replies, never its connection.
// Pure: no <windows.h>.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

namespace qm {

class TReplyChannel {
 public:
  // Reply bytes that may wait for a sender; a reply past that is dropped whole.
  static constexpr std::size_t kMaxPending = 64 * 1024;
  // Sends what it can of the bytes now: the count taken, 0 when the way is
  // full for the moment, below 0 when the connection failed.
  using TSend = std::function<long(const char* bytes, std::size_t n)>;

  // wake tells the reader there is work: a reply to send, or no line left
  // to wait for. It is called under the channel's lock.
  explicit TReplyChannel(std::function<void()> wake) : wake_(std::move(wake)) {}

  // Reader: one more line goes to the main thread.
  void Expect();
  // Main thread, in the order of the lines: the reply of the line being
  // handled, then Done for it, replied or not.
  void Answer(std::string_view reply);
  void Done();

  // Reader: hands pending bytes to send until it takes no more.
  void Flush(const TSend& send);
  // Every line expected is done and its reply sent, or the connection failed.
  bool Settled() const;
  // Grows with every line done and every byte sent.
  std::uint64_t Progress() const;
  std::size_t Dropped() const;
  // Reader, as it ends: wakes no more.
  void Detach();

 private:
  mutable std::mutex mu_;
  std::function<void()> wake_;
  std::string pending_;
  std::size_t outstanding_ = 0, dropped_ = 0;
  std::uint64_t progress_ = 0;
  bool failed_ = false;
};

// Who sent a line, and where its reply goes: none while replies are off.
struct TSender {
  std::uint32_t Address = 0;  // IPv4, host order
  std::shared_ptr<TReplyChannel> Reply;
};
using TLineProc = std::function<void(const std::wstring& S, const TSender& From)>;

}  // namespace qm
