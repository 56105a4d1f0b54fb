#include "net/LineBudget.h"

namespace qm {

void TLineBudget::Acquire(std::size_t units) {
  std::unique_lock<std::mutex> lock(mu_);
  room_.wait(lock, [&] { return lines_ < maxLines_ && (units_ == 0 || units_ + units <= maxUnits_); });
  ++lines_;
  units_ += units;
  // Pass the wake-up on while room is left; one at a time keeps thousands of
  // blocked readers from all waking for every released line.
  if (lines_ < maxLines_) room_.notify_one();
}

void TLineBudget::Release(std::size_t units) noexcept {
  {
    std::lock_guard<std::mutex> lock(mu_);
    --lines_;
    units_ -= units;
  }
  room_.notify_one();
}

std::size_t TLineBudget::Lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

std::size_t TLineBudget::Units() const {
  std::lock_guard<std::mutex> lock(mu_);
  return units_;
}

TLineBudget& TLineBudget::Network() {
  // Never destroyed: readers may still wait on it while the process exits.
  static TLineBudget* budget = new TLineBudget(4096, 4 * 1024 * 1024);
  return *budget;
}

}  // namespace qm
