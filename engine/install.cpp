// Installing staged objects. The pending record and manifest are written first, so
// an interrupted install is known to the next run, which then finishes the job.
#include <span>

#include <fmt/format.h>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "engine/install_record.h"
#include "engine/parallel_runner.h"
#include "engine/update_run.h"
#include "protocol/path_rule.h"

namespace kaldren::patcher {

void UpdateRun::install() {
  if (engine_.game_running && engine_.game_running(release_)) {
    throw PatchError(ErrorCategory::file_in_use, "Please close the game before the update is installed.");
  }
  // Every file written counts its bytes (copies too), and every removal and closing
  // step is reported: a player sees the job move even where it writes no bytes.
  installing_.phase = UpdateStatus::installing;
  installing_.text = "Installing updates...";
  installing_.total = space_.unpacked + space_.copies;
  const std::span<const std::string> removals(to_remove_);
  begin_install(fs_, engine_.root, state_, engine_.channel, record_of(release_), manifest_bytes_, [&] {
    remove_files(removals.first(interrupted_removals_), true);
    remove_files(interrupted_, false);
  });
  log(LogLevel::debug, "Installing {} files, removing {}", to_update_.size(), to_remove_.size());
  // Reported once the install is recorded: from here on, the game folder changes.
  reporter_.report(installing_);

  remove_files(removals, true);
  // Objects go into place on several workers: under Wine every move is a few round trips
  // to the system's one server, and one thread would mostly wait for the replies. No
  // two targets are the same file or one inside the other, so the order is free.
  run_parallel(objects_.size(), engine_.download_threads, stop_, [this](std::size_t index, std::stop_token) {
    install_object(objects_[index]);
  });

  installing_.done = installing_.total;
  report_installing("");
  remove_vanished_folders();
  commit_install(fs_, engine_.root, state_, manifest_bytes_, index_, [this] { report_installing(""); });
  remove_tree(fs_, staging_folder(engine_.root));

  log(LogLevel::info, "Updated to client {}: {} files written, {} removed, {} downloaded",
      version_text(release_.client.version), result_.files_written, result_.files_removed,
      format_size(result_.downloaded));
  UpdateStatus complete;
  complete.phase = UpdateStatus::complete;
  complete.text = "Update complete.";
  complete.done = complete.total = space_.unpacked;
  reporter_.report(complete);
  result_.outcome = EngineResult::updated;
  result_.installed_version = version_text(release_.client.version);
}

void UpdateRun::install_object(const ObjectGroup& group) {
  const std::filesystem::path staged = store_->staged_path(group.object);
  for (std::size_t k = 0; k < group.files.size(); ++k) {
    const ManifestFile& file = manifest_.files[group.files[k]];
    const std::filesystem::path target = resolve_path(engine_.root, file.path);
    // The staged file serves every copy; the last use takes it instead of copying.
    if (k + 1 == group.files.size()) {
      move_into_place(staged, target);
    } else {
      make_room_for_file(fs_, engine_.root, target);
      copy_file(fs_, staged, target);
    }
    const std::optional<FileInfo> installed = file_info(fs_, target);
    if (!installed || installed->size != file.object.size) {
      throw PatchError(ErrorCategory::io, "Could not install " + file.path);
    }
    const std::lock_guard guard(reporter_.lock());
    index_[listing_key(file.path)] = IndexEntry{file.path, installed->size, installed->modified, file.object.sha256};
    ++result_.files_written;
    installing_.done += file.object.size;
    installing_.detail = file.path;
    reporter_.report_locked(installing_);
  }
}

void UpdateRun::report_installing(const std::string& detail) {
  installing_.detail = detail;
  reporter_.report(installing_);
}

// Most targets have nothing in their way: one move, and the look-ups that clear the way
// only when it fails (under Wine each look-up of a name not there yet reads the folder).
void UpdateRun::move_into_place(const std::filesystem::path& staged, const std::filesystem::path& target) {
  if (fs_.move(staged, target) == 0) return;
  make_room_for_file(fs_, engine_.root, target);
  replace_file(fs_, staged, target);
}

void UpdateRun::remove_vanished_folders() {
  for (const std::string& path : vanished_) remove_empty_parents(fs_, engine_.root, resolve_path(engine_.root, path));
}

// Deletes what is still there; `count` tells whether the files leave the client (or
// are only cleared to be installed again).
void UpdateRun::remove_files(std::span<const std::string> paths, bool count) {
  for (const std::string& path : paths) {
    const std::filesystem::path file = resolve_path(engine_.root, path);
    if (delete_file(fs_, file)) {
      if (count) ++result_.files_removed;
      remove_empty_parents(fs_, engine_.root, file);
    }
    index_.erase(listing_key(path));
    report_installing(path);
  }
}

}  // namespace kaldren::patcher
