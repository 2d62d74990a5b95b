// Fetching what the update needs: content the disk already holds is planned first
// (whole files copied, large files built from chunks), then the rest is downloaded in
// parallel into the staging folder after a check that the drive can hold it all.
#include <atomic>
#include <memory>
#include <unordered_set>

#include <fmt/format.h>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "engine/parallel_runner.h"
#include "engine/update_run.h"
#include "protocol/path_rule.h"

namespace kaldren::patcher {

// What the disk is known to hold: verified files of this run, and files of earlier
// releases unchanged since the last run verified them (files to update or remove).
ReuseContext UpdateRun::reuse_context() {
  ReuseContext context{fs_, engine_.root, *store_, reporter_, stop_, engine_.download_threads, engine_.check_threads,
                       {}, {}, state_.installed.has_value()};
  for (const auto& [key, entry] : index_) context.local_content.try_emplace(entry.sha256, entry.path);
  const auto add_unchanged = [&](const std::string& path) {
    const std::wstring key = listing_key(path);
    const auto entry = loaded_index_.find(key);
    if (entry == loaded_index_.end()) return;
    const auto listed = listing_.find(key);
    const std::optional<FileInfo> info =
        listed != listing_.end() ? std::optional(listed->second) : file_info(fs_, resolve_path(engine_.root, path));
    if (info && info->size == entry->second.size && info->modified == entry->second.modified) {
      context.local_content.try_emplace(entry->second.sha256, path);
    }
  };
  for (const std::size_t index : to_update_) add_unchanged(manifest_.files[index].path);
  for (const std::string& path : to_remove_) add_unchanged(path);
  // The listing holds every file of the manifest's folders: only other paths (seeds,
  // files of earlier releases) need a look at the disk.
  auto manifest_keys = std::make_shared<std::unordered_set<std::wstring>>();
  for (const ManifestFile& file : manifest_.files) manifest_keys->insert(listing_key(file.path));
  context.exists = [this, manifest_keys](const std::string& path) {
    if (!is_safe_path(path)) return false;
    const std::wstring key = listing_key(path);
    if (listing_.contains(key)) return true;
    return !manifest_keys->contains(key) && file_info(fs_, resolve_path(engine_.root, path)).has_value();
  };
  return context;
}

void UpdateRun::download() {
  objects_ = group_objects(manifest_.files, to_update_);
  ReuseContext context = reuse_context();
  reuse_ = plan_reuse(context, manifest_.files, objects_);
  // Staged objects this update does not need (an interrupted update to another release)
  // would otherwise hold the space the check below asks for.
  std::vector<ObjectRef> needed = reuse_.chunks;
  for (const ObjectGroup& group : objects_) needed.push_back(group.object);
  needed.push_back(release_.client.manifest);
  store_->keep_only(needed);

  const auto built = [this](std::size_t group) { return reuse_.assemblies[group].has_value(); };
  space_ = space_needed(
      objects_, engine_.download_threads,
      [&](const ObjectRef& object) {
        const std::optional<FileInfo> staged = file_info(fs_, store_->staged_path(object));
        return staged && staged->size == object.size;
      },
      built, reuse_.chunks);
  const std::uint64_t needed_bytes = space_.needed();
  const std::uint64_t available = free_space(fs_, engine_.root);
  if (available < needed_bytes) {
    throw PatchError(ErrorCategory::disk_space,
                     fmt::format("The update needs {} of free disk space, but only {} is available on the drive of {}.",
                                 format_size(needed_bytes), format_size(available), root_text()));
  }
  log(LogLevel::info, "Downloading {} files ({} objects, {} to transfer, {} unpacked), removing {}", to_update_.size(),
      objects_.size(), format_size(space_.transfer), format_size(space_.unpacked), to_remove_.size());
  std::vector<std::size_t> whole;
  std::size_t built_count = 0;
  for (std::size_t g = 0; g < objects_.size(); ++g) {
    if (built(g)) {
      ++built_count;
    } else {
      whole.push_back(g);
    }
  }
  if (built_count != 0) {
    log(LogLevel::info, "Building {} files from {} already on the disk, {} chunks and {} of chunk lists", built_count,
        format_size(reuse_.reused_bytes), reuse_.chunks.size(), format_size(reuse_.list_bytes));
  }
  fetch_whole(whole, reuse_.chunks, reuse_.chunk_names);
  result_.downloaded += reuse_.list_bytes;
  build_files();
}

// Downloads the groups' objects and `chunks` in one parallel run; the phase counts
// the bytes actually fetched.
void UpdateRun::fetch_whole(std::span<const std::size_t> groups, const std::vector<ObjectRef>& chunks,
                            const std::vector<std::string>& chunk_names) {
  UpdateStatus status;
  status.phase = UpdateStatus::downloading;
  status.text = "Downloading updates...";
  std::vector<ObjectRef> references;
  std::vector<std::uint64_t> stored_sizes;
  std::vector<std::string> names;
  const auto add = [&](const ObjectRef& object, const std::string& name) {
    references.push_back(object);
    stored_sizes.push_back(object.stored_size);
    names.push_back(name);
    status.total += object.stored_size;
  };
  for (const std::size_t g : groups) add(objects_[g].object, manifest_.files[objects_[g].files.front()].path);
  for (std::size_t i = 0; i < chunks.size(); ++i) add(chunks[i], chunk_names[i]);
  DownloadTracker tracker(reporter_, status, std::move(stored_sizes), std::move(names));
  reporter_.report(status);
  store_->stage_all(
      references, engine_.download_threads, stop_,
      [&](std::size_t index, std::uint64_t bytes) { tracker.progress(index, bytes); },
      [&](std::size_t index) { tracker.done(index); });
  result_.downloaded += tracker.bytes();
}

// Builds the planned files from local content and staged chunks; a file whose local
// content changed since it was found is fetched whole instead.
void UpdateRun::build_files() {
  std::vector<std::size_t> built;
  UpdateStatus status;
  status.phase = UpdateStatus::downloading;
  status.text = "Assembling updated files...";
  for (std::size_t g = 0; g < objects_.size(); ++g) {
    if (!reuse_.assemblies[g]) continue;
    built.push_back(g);
    status.total += objects_[g].object.size;
  }
  if (built.empty()) return;
  reporter_.report(status);
  std::vector<std::size_t> refetch;
  HashBuffers buffers;
  run_parallel(built.size(), engine_.check_threads, stop_, [&](std::size_t n, std::stop_token stop) {
    const AssemblyPlan& plan = *reuse_.assemblies[built[n]];
    const HashBuffers::Lease buffer = buffers.take();
    std::uint64_t written = 0;
    const AssemblyOutcome outcome =
        assemble_file(fs_, *store_, plan, stop, buffer.bytes(), [&](std::uint64_t bytes) {
          const std::lock_guard guard(reporter_.lock());
          written += bytes;
          status.done += bytes;
          status.detail = plan.name;
          status.item_done = written;
          status.item_total = plan.object.size;
          reporter_.report_locked(status);
        });
    if (outcome == AssemblyOutcome::local_changed) {
      const std::lock_guard guard(reporter_.lock());
      log(LogLevel::warn, "The content found on the disk for {} changed meanwhile; downloading it whole", plan.name);
      refetch.push_back(built[n]);
    }
  });
  if (!refetch.empty()) {
    for (const std::size_t g : refetch) reuse_.assemblies[g].reset();
    fetch_whole(refetch, {}, {});
  }
}

}  // namespace kaldren::patcher
