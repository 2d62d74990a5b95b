// Comparing the game folder with the client manifest: files whose size and write time
// match the saved index are trusted, the rest of the right size are hashed in parallel,
// and files of earlier releases that the new one lacks are found for removal.
#include <algorithm>
#include <atomic>
#include <set>
#include <unordered_set>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "engine/file_operations.h"
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

}  // namespace

void UpdateRun::check_files() {
  UpdateStatus status;
  status.phase = UpdateStatus::checking;
  status.text = "Checking game files...";
  reporter_.report(status);

  const FolderListing listing = list_files(engine_.root, manifest_folders(manifest_.files));
  const FileIndex loaded = engine_.repair ? FileIndex{} : load_index(engine_.root);
  std::vector<std::size_t> doubtful;
  std::vector<FileInfo> doubtful_info;
  std::uint64_t bytes_to_check = 0;
  for (std::size_t i = 0; i < manifest_.files.size(); ++i) {
    const ManifestFile& file = manifest_.files[i];
    const std::wstring key = listing_key(file.path);
    const auto found = listing.find(key);
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
    save_index(engine_.root, index_);
  } else if (index_.size() != loaded.size()) {
    save_index(engine_.root, index_);
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
  run_parallel(doubtful.size(), engine_.check_threads, stop_, [&](std::size_t n, std::stop_token stop) {
    const ManifestFile& file = manifest_.files[doubtful[n]];
    std::optional<Sha256Digest> digest;
    try {
      digest = sha256_file(resolve_path(engine_.root, file.path), stop,
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
  if (!known_) return;
  std::unordered_set<std::wstring> current;
  current.reserve(manifest_.files.size());
  for (const ManifestFile& file : manifest_.files) current.insert(listing_key(file.path));
  std::unordered_set<std::wstring> seen;
  for (const ManifestFile& old : *known_) {
    // Saved manifests are trusted only as far as the path rule allows.
    if (!is_safe_path(old.path)) continue;
    std::wstring key = listing_key(old.path);
    if (current.contains(key) || !seen.insert(std::move(key)).second) continue;
    if (file_info(resolve_path(engine_.root, old.path))) to_remove_.push_back(old.path);
  }
}

}  // namespace kaldren::patcher
