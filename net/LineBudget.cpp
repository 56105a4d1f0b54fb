#include "net/LineBudget.h"

namespace qm {

void TLineBudget::Acquire(std::size_t lines, std::size_t units) {
  std::unique_lock<std::mutex> lock(mu_);
  auto fits = [&] {
    return (lines_ == 0 || lines_ + lines <= maxLines_) && (units_ == 0 || units_ + units <= maxUnits_);
  };
  if (!fits()) {
    ++waiting_;
    room_.wait(lock, fits);
    --waiting_;
  }
  lines_ += lines;
  units_ += units;
}

void TLineBudget::Release(std::size_t units) noexcept {
  bool wake;
  {
    std::lock_guard<std::mutex> lock(mu_);
    --lines_;
    const bool unitsHalved = units_ > maxUnits_ / 2 && units_ - units <= maxUnits_ / 2;
    units_ -= units;
    // Waiters wake when half the room is free again, not for every line: a
    // wake-up per line costs a thread switch per line.
    wake = waiting_ > 0 && (lines_ == maxLines_ / 2 || unitsHalved || lines_ == 0);
  }
  if (wake) room_.notify_all();
}

void TLineBudget::QueueAll(const std::vector<std::u16string>& lines,
                           const std::function<void(const std::u16string&)>& queue) {
  if (lines.empty()) return;
  std::size_t units = 0;
  for (const std::u16string& line : lines) units += line.size();
  Acquire(lines.size(), units);
  std::size_t handed = 0;
  try {
    for (; handed < lines.size(); ++handed) queue(lines[handed]);
  } catch (...) {
    for (std::size_t i = handed; i < lines.size(); ++i) Release(lines[i].size());
    throw;
  }
}

std::size_t TLineBudget::Lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

std::size_t TLineBudget::Units() const {
  std::lock_guard<std::mutex> lock(mu_);
  return units_;
}

std::size_t TLineBudget::Waiting() const {
  std::lock_guard<std::mutex> lock(mu_);
  return waiting_;
}

TLineBudget& TLineBudget::Network() {
  // Never destroyed: readers may still wait on it while the process exits.
  static TLineBudget* budget = new TLineBudget(4096, 4 * 1024 * 1024);
  return *budget;
}

}  // namespace qm
