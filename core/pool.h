// Things costly to make (large buffers, decoders) given back after use, so that the
// next user takes one already made instead of having the system map and clear a new one.
#pragma once

#include <cstddef>
#include <limits>
#include <mutex>
#include <utility>
#include <vector>

namespace kaldren::patcher {

// `Owner` is a movable owner that tests false when empty (a unique_ptr). Thread-safe;
// holds at most as many as were ever out at once, and what they cost to keep (as the
// giver counts it) stays within the budget.
template <class Owner>
class Pool {
 public:
  explicit Pool(std::size_t budget = std::numeric_limits<std::size_t>::max()) : budget_(budget) {}

  // One given back earlier, or an empty owner when none is free.
  Owner take_free() {
    const std::lock_guard guard(mutex_);
    if (free_.empty()) return Owner();
    Kept kept = std::move(free_.back());
    free_.pop_back();
    kept_cost_ -= kept.cost;
    return std::move(kept.owner);
  }

  // Kept for the next taker, unless keeping it too would pass the budget: then it is
  // simply freed.
  void give_back(Owner owner, std::size_t cost = 0) noexcept {
    if (!owner) return;
    const std::lock_guard guard(mutex_);
    if (cost > budget_ - kept_cost_) return;
    try {
      free_.push_back({std::move(owner), cost});
      kept_cost_ += cost;
    } catch (...) {
      // Out of memory: this one is simply freed.
    }
  }

  // What the owners kept now cost together.
  std::size_t kept_cost() const {
    const std::lock_guard guard(mutex_);
    return kept_cost_;
  }

 private:
  struct Kept {
    Owner owner;
    std::size_t cost;
  };

  mutable std::mutex mutex_;
  std::vector<Kept> free_;
  std::size_t budget_;
  std::size_t kept_cost_ = 0;
};

}  // namespace kaldren::patcher
