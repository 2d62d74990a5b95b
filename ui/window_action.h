// What the user (or the job, through the window) asks the application to do next.
#pragma once

#include <cstdint>

namespace kaldren::patcher {

enum class WindowAction : std::int32_t { Retry = 0, ManualPatch = 1, Bypass = 2, StartGame = 3, Stop = 4 };

}  // namespace kaldren::patcher
