// Every file and folder the launcher touches: queries, atomic writes, moves and
// copies with bounded retries against locked files, clean-up, and the per-folder
// launcher lock. Failures are PatchError; messages name paths in UTF-8.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/win_handle.h"

namespace kaldren::patcher {

// "Local\KaldrenMorvale.Lanternix." + 24 lowercase hex digits: the first 12 bytes of
// the SHA-256 of the key's invariant upper case in UTF-8. The key is a folder path as
// the caller holds it (a trailing separator makes a different lock) or "setup".
std::wstring lock_name(std::wstring_view key);

// One named mutex that keeps two launchers off the same folder. Created not owned;
// released (if owned) and closed on destruction. Move-only.
class FolderLock {
 public:
  // Creates or opens the mutex; PatchError internal "Could not create the launcher lock".
  explicit FolderLock(std::wstring_view name);
  FolderLock(FolderLock&& other) noexcept;
  FolderLock& operator=(FolderLock&& other) noexcept;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  ~FolderLock();

  // Waits at most `milliseconds`; a mutex left abandoned by a dead owner counts as owned.
  bool try_own(std::uint32_t milliseconds);
  bool owned() const noexcept { return owned_; }

 private:
  void release() noexcept;

  UniqueNullHandle mutex_;
  bool owned_ = false;
};

// What is known about a file without reading it.
struct FileInfo {
  std::uint64_t size = 0;
  std::uint64_t modified = 0;  // Last write, 100 ns ticks since 1601-01-01 UTC.
  friend bool operator==(const FileInfo&, const FileInfo&) = default;
};

// Keyed by listing_key: the invariant upper case of "folder/name" in UTF-16. Kept wide
// so that names Windows allows but UTF-8 cannot carry (lone surrogates) still list.
using FolderListing = std::unordered_map<std::wstring, FileInfo>;

// The listing key of a relative path written as in manifests ("a/b/file.txt", UTF-8).
std::wstring listing_key(std::string_view relative_path);

// Nothing when the path is missing, cannot be queried, or is a folder.
std::optional<FileInfo> file_info(const std::filesystem::path& path);

// Bytes available to this user on the volume of the nearest existing part of `path`.
std::uint64_t free_space(const std::filesystem::path& path);

// Creates the folder (and its parents), then tries to create a file in it. Never throws.
bool can_write_to(const std::filesystem::path& folder);

// The system-wide LongPathsEnabled setting; false when it cannot be read.
bool long_paths_enabled();

// The files directly in each folder (UTF-8, '/'-separated, relative to root; "" is the
// root itself). Missing folders are skipped; sub-folders and reparse points are not listed.
FolderListing list_files(const std::filesystem::path& root,
                         const std::vector<std::string>& folders);

// Creates every missing folder above `path`.
void ensure_parent_folder(const std::filesystem::path& path);

// Opens an existing file for sequential reading, sharing read, write and delete.
UniqueHandle open_for_read(const std::filesystem::path& path);

// The whole content; PatchError io "<path> is larger than expected" above max_bytes.
std::string read_file(const std::filesystem::path& path, std::uint64_t max_bytes);

// Writes "<path>.tmp", flushes it and moves it over `path`: a reader sees the old or
// the complete new content. On failure the old file stays and the temporary is removed.
void write_file_atomic(const std::filesystem::path& path, std::string_view bytes);

// Makes the bytes already written to an existing file durable (FlushFileBuffers).
// PatchError "Could not open "/"Could not flush " + path, category by the Windows code.
void flush_file(const std::filesystem::path& path);

// Moves `source` over `target` (read-only targets included), retrying while locked.
void replace_file(const std::filesystem::path& source, const std::filesystem::path& target);

// Copies `source` over `target` (read-only targets included), retrying while locked.
// Call it qualified: with path arguments, lookup also finds std::filesystem::copy_file.
void copy_file(const std::filesystem::path& source, const std::filesystem::path& target);

// True if the file was deleted, false if it did not exist; retries while locked.
bool delete_file(const std::filesystem::path& path);

// Removes the folder and everything in it as far as possible. Never throws.
void remove_tree(const std::filesystem::path& folder);

// Removes the now-empty folders above `path`, never `root` itself nor a link. Never throws.
void remove_empty_parents(const std::filesystem::path& root, const std::filesystem::path& path);

// Clears the way for a file at `target`: deletes a file standing where a folder is
// needed and an empty folder standing at the file's own place.
void make_room_for_file(const std::filesystem::path& root, const std::filesystem::path& target);

}  // namespace kaldren::patcher
