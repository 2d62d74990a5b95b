// Reconciling the release documents of several patch sources: the highest valid
// sequence wins, and an older one than already accepted is never used.
#include "engine/release_choice.h"

#include <algorithm>
#include <optional>
#include <thread>
#include <vector>

#include <fmt/format.h>

#include "core/error.h"
#include "core/log.h"
#include "core/version.h"
#include "engine/update_engine.h"

namespace kaldren::patcher {

void wait_cancellable(std::stop_token stop, std::chrono::milliseconds duration) {
  using Clock = std::chrono::steady_clock;
  constexpr std::chrono::milliseconds kStep{20};
  const Clock::time_point deadline = Clock::now() + duration;
  for (;;) {
    throw_if_stopped(stop);
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return;
    std::this_thread::sleep_for(std::min<Clock::duration>(kStep, deadline - now));
  }
}

Release choose_release(Transport& transport, std::string_view channel, std::span<const ReleaseKey> keys,
                       std::stop_token stop, std::size_t threshold, const WallClock& clock) {
  if (keys.empty()) {
    throw PatchError(ErrorCategory::configuration, "This launcher was built without a release key");
  }
  const std::vector<SourceDocument> documents =
      transport.fetch_all(release_path(channel), kMaxReleaseDocumentBytes, stop);
  const std::int64_t now = clock();

  std::optional<Release> best;
  std::vector<std::uint64_t> agreeing;
  std::optional<PatchError> first_error;
  for (const SourceDocument& document : documents) {
    Release release;
    try {
      release = verify_release(document.body, keys, threshold);
      validate_release(release, channel);
      // An expired release is what a frozen source serves: another may have a live one.
      check_release_expiry(release, now);
    } catch (const PatchError& error) {
      log(LogLevel::warn, "Ignoring the release from patch source {}: {}", document.source, error.what());
      if (!first_error) first_error = error;
      continue;
    }
    // Equal sequences are taken as the same release: only the signature vouches for them.
    if (!best || release.sequence > best->sequence) {
      best = std::move(release);
      agreeing.assign(1, document.source);
    } else if (release.sequence == best->sequence) {
      agreeing.push_back(document.source);
    }
  }
  if (!best) {
    if (first_error) throw *first_error;
    throw PatchError(ErrorCategory::server, "The patch server sent no release");
  }
  if (documents.size() > 1 && agreeing.size() < documents.size()) {
    log(LogLevel::warn, "Patch sources disagree; using release {} from {} of {} sources", best->sequence,
        agreeing.size(), documents.size());
  }
  transport.prefer_sources(agreeing);
  return *std::move(best);
}

ReleaseChoice choose_accepted_release(Transport& transport, std::string_view channel,
                                      std::span<const ReleaseKey> keys, const LauncherState& state,
                                      std::uint32_t attempts, std::uint32_t retry_delay_ms,
                                      std::stop_token stop, std::size_t threshold, const WallClock& clock) {
  const std::uint64_t highest = highest_sequence(state, channel).value_or(0);
  for (std::uint64_t pass = 1;; ++pass) {
    Release release = choose_release(transport, channel, keys, stop, threshold, clock);
    if (release.sequence >= highest) return {std::move(release), false};
    log(LogLevel::warn, "The patch server offered release {}, older than release {} already accepted",
        release.sequence, highest);
    if (pass >= attempts) {
      // A source may lag behind a new publication for a while; a complete installation
      // of this channel is still good to play meanwhile.
      if (state.installed && !state.pending && state.channel == channel) {
        log(LogLevel::warn, "Keeping the installed client {} until the newer release is available",
            version_text(state.installed->version));
        return {std::move(release), true};
      }
      throw PatchError(ErrorCategory::network,
                       fmt::format("The patch server is still publishing release {}. Please try again in a minute.",
                                   highest));
    }
    wait_cancellable(stop, std::chrono::milliseconds(pass * retry_delay_ms));
  }
}

}  // namespace kaldren::patcher
