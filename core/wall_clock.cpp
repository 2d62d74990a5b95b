#include "core/wall_clock.h"

#include <chrono>

namespace kaldren::patcher {

std::int64_t system_wall_clock() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace kaldren::patcher
