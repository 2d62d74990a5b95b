// Installing staged objects. The pending record and manifest are written first, so
// an interrupted install is known to the next run, which then finishes the job.
#include <fmt/format.h>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "engine/file_operations.h"
#include "engine/update_run.h"
#include "protocol/path_rule.h"

namespace kaldren::patcher {

void UpdateRun::install() {
  if (engine_.game_running && engine_.game_running(release_)) {
    throw PatchError(ErrorCategory::file_in_use, "Please close the game before the update is installed.");
  }
  save_pending_manifest(engine_.root, manifest_bytes_);
  state_.channel = engine_.channel;
  record_sequence(state_, engine_.channel, release_.sequence);
  state_.pending = record_of(release_);
  save_state(engine_.root, state_);

  UpdateStatus status;
  status.phase = UpdateStatus::installing;
  status.text = "Installing updates...";
  status.total = space_.unpacked;
  reporter_.report(status);

  remove_obsolete_files();
  for (const ObjectGroup& group : objects_) {
    if (stop_.stop_requested()) throw PatchError(ErrorCategory::cancelled, "The launcher was closed");
    const std::filesystem::path staged = store_->staged_path(group.object);
    for (std::size_t k = 0; k < group.files.size(); ++k) {
      const ManifestFile& file = manifest_.files[group.files[k]];
      const std::filesystem::path target = resolve_path(engine_.root, file.path);
      make_room_for_file(engine_.root, target);
      // The staged file serves every copy; the last use takes it instead of copying.
      if (k + 1 == group.files.size()) {
        replace_file(staged, target);
      } else {
        patcher::copy_file(staged, target);
      }
      const std::optional<FileInfo> installed = file_info(target);
      if (!installed || installed->size != file.object.size) {
        throw PatchError(ErrorCategory::io, "Could not install " + file.path);
      }
      index_[listing_key(file.path)] = IndexEntry{file.path, installed->size, installed->modified, file.object.sha256};
      ++result_.files_written;
    }
    status.done += group.object.size;
    status.detail = manifest_.files[group.files.back()].path;
    reporter_.report(status);
  }

  save_manifest(engine_.root, manifest_bytes_);
  save_index(engine_.root, index_);
  state_.installed = state_.pending;
  state_.pending.reset();
  save_state(engine_.root, state_);
  delete_pending_manifest(engine_.root);
  remove_tree(staging_folder(engine_.root));

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

void UpdateRun::remove_obsolete_files() {
  for (const std::string& path : to_remove_) {
    const std::filesystem::path file = resolve_path(engine_.root, path);
    if (delete_file(file)) {
      ++result_.files_removed;
      remove_empty_parents(engine_.root, file);
    }
    index_.erase(listing_key(path));
  }
}

}  // namespace kaldren::patcher
