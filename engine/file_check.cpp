// Comparing the game folder with the client manifest: files whose size and write time
// match the saved index are trusted, the rest of the right size are hashed in parallel,
// and files of earlier releases that the new one lacks are found for removal.
#include <algorithm>
#include <atomic>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "engine/parallel_runner.h"
#include "engine/update_run.h"
#include "protocol/path_rule.h"

namespace kaldren::patcher {
namespace {

// The folders holding manifest files ("" for the root), each once.
std::vector<std::string> manifest_folders(const std::vector<ManifestFile>& files) {
  std::set<std::string> folders;
  for (const ManifestFile& file : files) {
    const std::size_t slash = file.path.rfind('/');
    folders.insert(slash == std::string::npos ? std::string() : file.path.substr(0, slash));
  }
  return {folders.begin(), folders.end()};
}

// The content digest of each file of a saved manifest, by listing key.
std::unordered_map<std::wstring, Sha256Digest> digests_of(const std::optional<std::vector<ManifestFile>>& files) {
  std::unordered_map<std::wstring, Sha256Digest> digests;
  if (!files) return digests;
  for (const ManifestFile& file : *files) {
    if (is_safe_path(file.path)) digests.try_emplace(listing_key(file.path), file.object.sha256);
  }
  return digests;
}

}  // namespace

void UpdateRun::check_files() {
  UpdateStatus status;
  status.phase = UpdateStatus::checking;
  status.text = "Checking game files...";
  reporter_.report(status);

  listing_ = list_files(fs_, engine_.root, manifest_folders(manifest_.files));
  loaded_index_ = engine_.repair ? FileIndex{} : load_index(fs_, engine_.root);
  const FolderListing& listing = listing_;
  const FileIndex& loaded = loaded_index_;
  // Files an interrupted install of another release wrote, with other content than this
  // release gives them, go before that install's record is replaced, and are installed
  // again. Those this release has as they are stay, and are checked like any other; so
  // does everything when the other release has the same client manifest (it changed
  // only the launcher, say).
  std::unordered_map<std::wstring, Sha256Digest> interrupted;
  if (state_.pending && *state_.pending != record_of(release_) &&
      state_.pending->manifest_sha256 != release_.client.manifest.sha256) {
    interrupted = digests_of(known_.pending);
    for (const auto& [key, digest] : digests_of(known_.installed)) interrupted.erase(key);
  }
  std::vector<std::size_t> doubtful;
  std::vector<FileInfo> doubtful_info;
  std::uint64_t bytes_to_check = 0;
  for (std::size_t i = 0; i < manifest_.files.size(); ++i) {
    const ManifestFile& file = manifest_.files[i];
    const std::wstring key = listing_key(file.path);
    const auto found = listing.find(key);
    // The game rewrites such a file (the player's settings): whatever it holds now stays.
    if (file.install_if_missing && found != listing.end()) continue;
    if (const auto written = interrupted.find(key);
        found != listing.end() && written != interrupted.end() && written->second != file.object.sha256) {
      interrupted_.push_back(file.path);
      to_update_.push_back(i);
      continue;
    }
    if (found == listing.end() || found->second.size != file.object.size) {
      to_update_.push_back(i);
      continue;
    }
    const FileInfo& info = found->second;
    if (!engine_.repair) {
      const auto entry = loaded.find(key);
      if (entry != loaded.end() && entry->second.size == info.size && entry->second.modified == info.modified) {
        // Unchanged since it was last verified: its recorded digest tells whether it is current.
        if (entry->second.sha256 == file.object.sha256) {
          index_[key] = IndexEntry{file.path, info.size, info.modified, file.object.sha256};
        } else {
          to_update_.push_back(i);
        }
        continue;
      }
    }
    doubtful.push_back(i);
    doubtful_info.push_back(info);
    bytes_to_check += info.size;
  }

  if (!doubtful.empty()) {
    hash_doubtful(doubtful, doubtful_info, bytes_to_check);
    save_index(fs_, engine_.root, index_);
  } else if (index_.size() != loaded.size()) {
    save_index(fs_, engine_.root, index_);
  }
  std::sort(to_update_.begin(), to_update_.end());
}

void UpdateRun::hash_doubtful(const std::vector<std::size_t>& doubtful, const std::vector<FileInfo>& found,
                              std::uint64_t bytes_to_check) {
  log(LogLevel::info, "Verifying {} files ({})", doubtful.size(), format_size(bytes_to_check));
  UpdateStatus status;
  status.phase = UpdateStatus::checking;
  status.text = "Checking game files...";
  status.total = bytes_to_check;
  reporter_.report(status);

  std::atomic<std::uint64_t> hashed{0};
  std::vector<char> changed(doubtful.size(), 0);
  HashBuffers buffers;
  run_parallel(doubtful.size(), engine_.check_threads, stop_, [&](std::size_t n, std::stop_token stop) {
    const ManifestFile& file = manifest_.files[doubtful[n]];
    std::optional<Sha256Digest> digest;
    try {
      const HashBuffers::Lease buffer = buffers.take();
      digest = sha256_file(fs_, resolve_path(engine_.root, file.path), stop, buffer.bytes(),
                           [&](std::uint64_t bytes) { hashed.fetch_add(bytes, std::memory_order_relaxed); });
    } catch (const PatchError& error) {
      if (error.category() == ErrorCategory::cancelled) throw;
      // An unreadable file is simply fetched again.
      log(LogLevel::warn, "Could not check {}: {}", file.path, error.what());
    }
    const std::lock_guard guard(reporter_.lock());
    if (digest && *digest == file.object.sha256) {
      index_[listing_key(file.path)] = IndexEntry{file.path, found[n].size, found[n].modified, *digest};
    } else {
      changed[n] = 1;
    }
    status.detail = file.path;
    status.done = hashed.load();
    reporter_.report_locked(status);
  });
  for (std::size_t n = 0; n < doubtful.size(); ++n) {
    if (changed[n]) to_update_.push_back(doubtful[n]);
  }
}

void UpdateRun::find_removals() {
  std::unordered_set<std::wstring> seen;
  seen.reserve(manifest_.files.size());
  for (const ManifestFile& file : manifest_.files) seen.insert(listing_key(file.path));
  // The installed release's files first: those only the pending manifest lists are
  // moved to the front below, to go before that manifest is replaced.
  std::vector<std::string> installed_removals;
  const auto collect = [&](const std::optional<std::vector<ManifestFile>>& files, std::vector<std::string>& into) {
    if (!files) return;
    for (const ManifestFile& old : *files) {
      // Saved manifests are trusted only as far as the path rule allows.
      if (!is_safe_path(old.path) || !seen.insert(listing_key(old.path)).second) continue;
      if (file_info(fs_, resolve_path(engine_.root, old.path))) {
        into.push_back(old.path);
      } else {
        vanished_.push_back(old.path);
      }
    }
  };
  collect(known_.installed, installed_removals);
  collect(known_.pending, to_remove_);
  interrupted_removals_ = to_remove_.size();
  to_remove_.insert(to_remove_.end(), installed_removals.begin(), installed_removals.end());
}

}  // namespace kaldren::patcher
