// The update job as every front end runs it (the launcher's window, lanternix-update):
// the engine assembled from the launcher's options — patch sources, channel, repair,
// the built-in release key and launcher version, the check that the game is not
// running — and run once on the calling thread.
#pragma once

#include <filesystem>
#include <functional>
#include <stop_token>
#include <string_view>

#include "config/options.h"
#include "engine/update_engine.h"
#include "system/file_system.h"

namespace kaldren::patcher {

struct UpdateJobHooks {
  // Called once the patch sources are set up, with their name for people; may be empty.
  std::function<void(const std::string& sources)> starting;
  std::function<void(const UpdateStatus&)> report;  // may be empty
  // Installs and starts a newer launcher; empty when the front end never replaces one.
  std::function<bool(const std::filesystem::path& staged_launcher, const Release&)> hand_over;
};

// Throws PatchError as UpdateEngine::run does; "Invalid version ..." (server) when the
// built-in launcher version does not parse.
EngineResult run_update_job(const LauncherOptions& options, FileSystem& fs, const UpdateJobHooks& hooks,
                            std::stop_token stop);

// The first lines of a run's log: who starts, in which mode ("patch", "update", ...),
// from where, and the patch sources and channel.
void log_startup(const LauncherOptions& options, std::string_view mode);

// The game executable of a release: its executable path joined under the root.
std::filesystem::path release_executable(const std::filesystem::path& root, const Release& release);

}  // namespace kaldren::patcher
