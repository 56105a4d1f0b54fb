#pragma once
// Bounds the received lines that wait for the main thread. A reader takes
// room for the lines of a receive before it queues them and blocks while
// there is none, so it stops reading and TCP slows the sender down; the main
// thread gives the room back line by line as the barcode callback finishes.
// Pure: no <windows.h>.
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace qm {

class TLineBudget {
 public:
  // Lines waiting at most, and UTF-16 units they hold at most. A batch is
  // let through whatever its size when nothing else waits.
  TLineBudget(std::size_t maxLines, std::size_t maxUnits) : maxLines_(maxLines), maxUnits_(maxUnits) {}

  void Acquire(std::size_t lines, std::size_t units);
  void Release(std::size_t units) noexcept;  // one line
  // Room for all the lines, then each handed to queue in order, which must
  // see to its Release. The room of lines queue did not take (it threw) is
  // given back before the error goes on: none is lost for good.
  void QueueAll(const std::vector<std::u16string>& lines, const std::function<void(const std::u16string&)>& queue);
  std::size_t Lines() const;
  std::size_t Units() const;
  // Readers blocked in Acquire now.
  std::size_t Waiting() const;

  // The one budget all connections share: 4,096 lines, 8 MiB of text.
  static TLineBudget& Network();

 private:
  const std::size_t maxLines_, maxUnits_;
  mutable std::mutex mu_;
  std::condition_variable room_;
  std::size_t lines_ = 0, units_ = 0, waiting_ = 0;
};

}  // namespace qm
