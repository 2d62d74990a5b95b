// The update flow from the release choice to the installed client; the checking,
// downloading and installing steps are in their own files.
#include <algorithm>

#include <fmt/format.h>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "engine/client_preview.h"
#include "engine/install_record.h"
#include "engine/release_choice.h"
#include "engine/update_run.h"
#include "protocol/path_rule.h"

namespace kaldren::patcher {
namespace {

UpdateStatus status_of(std::int32_t phase, std::string text) {
  UpdateStatus status;
  status.phase = phase;
  status.text = std::move(text);
  return status;
}

}  // namespace

EngineResult UpdateEngine::run(std::stop_token stop) {
  if (!transport) throw PatchError(ErrorCategory::internal, "The update has no patch server connection");
  if (!file_system) throw PatchError(ErrorCategory::internal, "The update has no file system");
  return UpdateRun(*this, std::move(stop)).run();
}

UpdateRun::UpdateRun(const UpdateEngine& engine, std::stop_token stop)
    : engine_(engine), fs_(*engine.file_system), stop_(std::move(stop)), reporter_(engine.report) {}

std::string UpdateRun::root_text() const { return display_path(engine_.root); }

EngineResult UpdateRun::run() {
  state_ = load_state(fs_, engine_.root);
  reporter_.report(status_of(UpdateStatus::preparing, "Connecting to the patch server..."));
  log(LogLevel::info, "Checking {} channel {} for {}", engine_.transport->name(), engine_.channel, root_text());

  ReleaseChoice choice =
      choose_accepted_release(*engine_.transport, engine_.channel, engine_.keys, state_, engine_.release_attempts,
                              engine_.release_retry_delay_ms, stop_, engine_.key_threshold, engine_.clock);
  release_ = std::move(choice.release);
  result_.release = release_;
  if (choice.keep_installed) {
    result_.kept_installed = true;
    result_.installed_version = version_text(state_.installed->version);
    reporter_.report(status_of(UpdateStatus::complete, "Your client is up to date."));
    return result_;
  }

  log(LogLevel::info, "Release {} on {}: client {}, launcher {}", release_.sequence, engine_.channel,
      version_text(release_.client.version), version_text(release_.launcher.version));
  store_.emplace(fs_, staging_folder(engine_.root), *engine_.transport);
  store_->adopt_flat_layout();
  if (update_launcher()) return result_;

  read_manifest();
  known_ = known_files(fs_, engine_.root, state_);
  check_path_length();
  check_files();
  find_removals();
  if (to_update_.empty() && to_remove_.empty()) {
    finish_up_to_date();
    return result_;
  }
  if (!to_update_.empty()) check_staging_path_length(manifest_.files[to_update_.front()].object);
  download();
  install();
  return result_;
}

bool UpdateRun::update_launcher() {
  const LauncherSection& launcher = release_.launcher;
  if (!(launcher.version > engine_.launcher_version) || !engine_.hand_over) return false;
  if (engine_.after_update) {
    // The new launcher was just started by an update: offering it again would loop.
    log(LogLevel::error,
        "The published launcher {} still reports an older version after an update; continuing without another "
        "launcher update",
        version_text(launcher.version));
    return false;
  }
  log(LogLevel::info, "Updating the launcher from {} to {}", version_text(engine_.launcher_version),
      version_text(launcher.version));
  UpdateStatus status = status_of(UpdateStatus::downloading, "Updating the launcher...");
  status.detail = "Lanternix.exe";
  status.item_total = status.total = launcher.file.stored_size;
  check_staging_path_length(launcher.file);
  reporter_.report(status);
  const std::filesystem::path staged = store_->stage(launcher.file, stop_, [&](std::uint64_t bytes) {
    const std::lock_guard guard(reporter_.lock());
    status.item_done = status.done = bytes;
    reporter_.report_locked(status);
  });

  // Accepted before the hand-over: the new launcher must not be rolled back either.
  accept_sequence(fs_, engine_.root, state_, engine_.channel, release_.sequence);
  if (engine_.hand_over(staged, release_)) {
    result_.outcome = EngineResult::handed_over;
    if (state_.installed) result_.installed_version = version_text(state_.installed->version);
    return true;
  }
  log(LogLevel::warn, "Continuing with launcher {}", version_text(engine_.launcher_version));
  return false;
}

void UpdateRun::read_manifest() {
  reporter_.report(status_of(UpdateStatus::preparing, "Reading the file list..."));
  const ObjectRef& reference = release_.client.manifest;
  std::optional<std::string> bytes;
  if (state_.installed && state_.installed->manifest_sha256 == reference.sha256) {
    bytes = load_saved_manifest(fs_, engine_.root, reference.sha256);
  }
  if (!bytes) {
    check_staging_path_length(reference);
    bytes = store_->read_document(reference, stop_);
  }
  manifest_ = parse_client_manifest(*bytes);
  validate_client_manifest(manifest_, release_);
  manifest_bytes_ = std::move(*bytes);
}

void UpdateRun::check_path_length() const {
  std::vector<std::string> paths;
  paths.reserve(manifest_.files.size());
  for (const ManifestFile& file : manifest_.files) paths.push_back(file.path);
  if (too_deep_path(fs_, engine_.root, paths)) refuse_deeper_than_windows_allows(kMaxShortPath + 1);
}

void UpdateRun::check_staging_path_length(const ObjectRef& object) const {
  // Every staged name is as long: the object's partial download is the longest of them.
  std::filesystem::path partial = store_->staged_path(object);
  partial += ".part";
  refuse_deeper_than_windows_allows(path_to_utf16(partial).size());
}

void UpdateRun::refuse_deeper_than_windows_allows(std::size_t longest) const {
  if (longest <= kMaxShortPath || fs_.long_paths_enabled()) return;
  throw PatchError(ErrorCategory::configuration,
                   "The game folder " + root_text() +
                       " is too deeply nested for Windows. Reinstall the game into a shorter folder such as "
                       "C:\\Games.");
}

void UpdateRun::finish_up_to_date() {
  remove_vanished_folders();
  record_up_to_date(fs_, engine_.root, state_, engine_.channel, record_of(release_), manifest_bytes_);
  remove_tree(fs_, staging_folder(engine_.root));
  log(LogLevel::info, "Client {} is up to date ({} files)", version_text(release_.client.version),
      manifest_.files.size());
  reporter_.report(status_of(UpdateStatus::complete, "Your client is up to date."));
  result_.outcome = EngineResult::up_to_date;
  result_.installed_version = version_text(release_.client.version);
}

}  // namespace kaldren::patcher
