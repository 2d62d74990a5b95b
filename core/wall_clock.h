// The wall clock (for release expiry) behind a function a test can replace.
#pragma once

#include <cstdint>
#include <functional>

namespace kaldren::patcher {

// Seconds since 1970-01-01T00:00:00Z.
using WallClock = std::function<std::int64_t()>;

// The system's clock (std::chrono::system_clock).
std::int64_t system_wall_clock();

}  // namespace kaldren::patcher
