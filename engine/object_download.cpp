// Fetching what the update needs: the distinct objects, after a check that the drive
// can hold them, downloaded in parallel into the staging folder.
#include <fmt/format.h>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "engine/update_run.h"

namespace kaldren::patcher {

void UpdateRun::download() {
  objects_ = group_objects(manifest_.files, to_update_);
  space_ = space_needed(objects_, engine_.download_threads, [&](const ObjectRef& object) {
    const std::optional<FileInfo> staged = file_info(fs_, store_->staged_path(object));
    return staged && staged->size == object.size;
  });
  const std::uint64_t needed = space_.needed();
  const std::uint64_t available = free_space(fs_, engine_.root);
  if (available < needed) {
    throw PatchError(ErrorCategory::disk_space,
                     fmt::format("The update needs {} of free disk space, but only {} is available on the drive of {}.",
                                 format_size(needed), format_size(available), root_text()));
  }
  log(LogLevel::info, "Downloading {} files ({} objects, {} to transfer, {} unpacked), removing {}", to_update_.size(),
      objects_.size(), format_size(space_.transfer), format_size(space_.unpacked), to_remove_.size());

  UpdateStatus status;
  status.phase = UpdateStatus::downloading;
  status.text = "Downloading updates...";
  status.total = space_.transfer;
  std::vector<ObjectRef> references;
  std::vector<std::uint64_t> stored_sizes;
  std::vector<std::string> names;
  for (const ObjectGroup& group : objects_) {
    references.push_back(group.object);
    stored_sizes.push_back(group.object.stored_size);
    names.push_back(manifest_.files[group.files.front()].path);
  }
  DownloadTracker tracker(reporter_, status, std::move(stored_sizes), std::move(names));
  reporter_.report(status);
  store_->stage_all(
      references, engine_.download_threads, stop_,
      [&](std::size_t index, std::uint64_t bytes) { tracker.progress(index, bytes); },
      [&](std::size_t index) { tracker.done(index); });
  result_.downloaded = tracker.bytes();
}

}  // namespace kaldren::patcher
