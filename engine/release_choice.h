// Choosing the release to use across patch sources, with the cancellable waits of
// the update job between attempts while the sources still offer an older release.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <stop_token>
#include <string_view>

#include "core/wall_clock.h"
#include "engine/launcher_state.h"
#include "protocol/release.h"
#include "transport/transport.h"

namespace kaldren::patcher {

// Waits `duration`, looking at `stop` every 20 ms; PatchError cancelled
// "The launcher was closed" once stop is requested (also before waiting at all).
void wait_cancellable(std::stop_token stop, std::chrono::milliseconds duration);

struct ReleaseChoice {
  Release release;
  bool keep_installed = false;  // only older releases were offered; the installed client stays
};

// choose_release, asked again after waits of 1, 2, ... times `retry_delay_ms` while the
// release is older than the highest one `state` accepted for the channel. After
// `attempts` choices the installed client is kept when one is fully installed for this
// channel; otherwise PatchError network "The patch server is still publishing release ...".
// `threshold` and `clock` as for choose_release.
ReleaseChoice choose_accepted_release(Transport& transport, std::string_view channel,
                                      std::span<const ReleaseKey> keys, const LauncherState& state,
                                      std::uint32_t attempts, std::uint32_t retry_delay_ms,
                                      std::stop_token stop, std::size_t threshold = 1,
                                      const WallClock& clock = system_wall_clock);

}  // namespace kaldren::patcher
