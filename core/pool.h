// Things costly to make (large buffers, decoders) given back after use, so that the
// next user takes one already made instead of having the system map and clear a new one.
#pragma once

#include <mutex>
#include <utility>
#include <vector>

namespace kaldren::patcher {

// `Owner` is a movable owner that tests false when empty (a unique_ptr). Thread-safe;
// holds at most as many as were ever out at once.
template <class Owner>
class Pool {
 public:
  // One given back earlier, or an empty owner when none is free.
  Owner take_free() {
    const std::lock_guard guard(mutex_);
    if (free_.empty()) return Owner();
    Owner owner = std::move(free_.back());
    free_.pop_back();
    return owner;
  }

  void give_back(Owner owner) noexcept {
    if (!owner) return;
    const std::lock_guard guard(mutex_);
    try {
      free_.push_back(std::move(owner));
    } catch (...) {
      // Out of memory: this one is simply freed.
    }
  }

 private:
  std::mutex mutex_;
  std::vector<Owner> free_;
};

}  // namespace kaldren::patcher
