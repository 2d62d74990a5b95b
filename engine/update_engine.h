// The update flow: choose and verify the channel's release across patch sources,
// refuse older releases, hand over to a newer launcher, compare the client manifest
// with the game folder, download and verify what differs, install crash-safely.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/version.h"
#include "core/wall_clock.h"
#include "protocol/release.h"
#include "system/file_system.h"
#include "transport/transport.h"

namespace kaldren::patcher {

// Progress sent to the window (or the console front end).
struct UpdateStatus {
  enum Phase : std::int32_t { preparing = 0, checking = 1, downloading = 2, installing = 3, complete = 4, failed = 5 };
  std::int32_t phase = preparing;
  std::string text;            // main line, e.g. "Connecting to the patch server..."
  ErrorCategory category = ErrorCategory::internal;  // meaningful only when failed
  std::string detail;          // the file being worked on
  std::uint64_t item_done = 0;
  std::uint64_t item_total = 0;
  std::uint64_t done = 0;      // bytes of the whole phase
  std::uint64_t total = 0;
};

struct EngineResult {
  enum Outcome : std::int32_t { up_to_date = 0, updated = 1, handed_over = 2 };
  std::int32_t outcome = up_to_date;
  Release release;
  std::string installed_version;  // the client version now installed, as text
  bool kept_installed = false;    // an older release was offered; the installed client stays
  std::uint64_t files_written = 0;
  std::uint64_t files_removed = 0;
  std::uint64_t downloaded = 0;   // bytes
};

// One engine per job; the parameters are fixed when the job starts.
struct UpdateEngine {
  std::filesystem::path root;
  std::string channel;
  Version launcher_version;
  bool repair = false;
  bool after_update = false;
  std::uint32_t download_threads = 8;  // also the workers that move files into place
  std::uint32_t check_threads = 4;
  std::uint32_t release_attempts = 3;
  std::uint32_t release_retry_delay_ms = 2000;
  FileSystem* file_system = nullptr;  // not owned; the game folder's disk
  Transport* transport = nullptr;     // not owned; writes its downloads to file_system
  std::vector<ReleaseKey> keys;
  std::size_t key_threshold = 1;         // distinct keys of `keys` that must sign a release
  WallClock clock = system_wall_clock;   // against the releases' expiry
  // Called on the job thread or, serialised by the job's progress lock, on workers.
  std::function<void(const UpdateStatus&)> report;
  // True when the release's game executable is running.
  std::function<bool(const Release&)> game_running;
  // Installs and starts the staged launcher; true when it took over. Empty: no launcher updates.
  std::function<bool(const std::filesystem::path& staged_launcher, const Release&)> hand_over;

  // Throws PatchError; cancellation is PatchError cancelled "The launcher was closed".
  EngineResult run(std::stop_token stop);
};

// The highest valid release among the sources; sources that agree with it are preferred.
// A release needs signatures by `threshold` distinct keys, and one that expired by
// `clock` is left out like any other invalid release.
Release choose_release(Transport& transport, std::string_view channel, std::span<const ReleaseKey> keys,
                       std::stop_token stop, std::size_t threshold = 1, const WallClock& clock = system_wall_clock);

}  // namespace kaldren::patcher
