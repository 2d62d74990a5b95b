// Every file and folder operation the launcher performs, over a FileSystem: queries,
// atomic writes, moves and copies with bounded retries against locked files, and
// clean-up. Failures are PatchError whose messages name paths in UTF-8:
//   "Could not open|create|write|flush|read <path>" + system text   category by code
//   "Could not size <path>", "<path> is larger than expected"        io
//   "Could not create the folder <folder>: <system text>"            io
//   "<target> is a folder where a file belongs"                      io
//   "Could not replace|copy to|delete <path>" + system text          locked: file_in_use; else by code
//   "Could not list <folder>" + system text                          start: by code; later: io
//   "Could not read the free space of <folder>" + system text        io
//   "<path> is a folder with files in it, but the update installs a file there. ..."  io
// "By code" is category_for_win32; "locked" are the codes 5, 32, 33 and 1224, retried
// 25 times 200 ms apart (one DEBUG line "<path> is locked; retrying").
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/text.h"
#include "system/file_system.h"

namespace kaldren::patcher {

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

// The system's message text for a code, without trailing full stop or line end;
// "Win32 error <code>" when the system has none.
std::string system_message(SystemCode code);

// Nothing when the path is missing, cannot be queried, or is a folder.
std::optional<FileInfo> file_info(FileSystem& fs, const std::filesystem::path& path);

// Bytes available to this user on the volume of the nearest existing part of `path`.
std::uint64_t free_space(FileSystem& fs, const std::filesystem::path& path);

// Creates the folder (and its parents), then tries to create a file in it. Never throws.
bool can_write_to(FileSystem& fs, const std::filesystem::path& folder);

// The files directly in each folder (UTF-8, '/'-separated, relative to root; "" is the
// root itself). Missing folders are skipped; sub-folders and reparse points are not listed.
FolderListing list_files(FileSystem& fs, const std::filesystem::path& root, const std::vector<std::string>& folders);

// Creates the folder and every missing folder above it; returns 0 or the failing code.
SystemCode create_folders(FileSystem& fs, const std::filesystem::path& folder);

// Creates every missing folder above `path`.
void ensure_parent_folder(FileSystem& fs, const std::filesystem::path& path);

// Opens an existing file for sequential reading, sharing read, write and delete.
std::unique_ptr<OpenFile> open_for_read(FileSystem& fs, const std::filesystem::path& path);

// Opens an existing file to read and flush it through one handle, sharing as above and
// retried while locked ("Could not open <path>").
std::unique_ptr<OpenFile> open_for_read_and_flush(FileSystem& fs, const std::filesystem::path& path);

// Opens `path` for sequential writing, others may read: a new empty file, or with
// `keep` the existing bytes (a missing file is created either way).
std::unique_ptr<OpenFile> open_for_write(FileSystem& fs, const std::filesystem::path& path, bool keep = false);

// Writes all of `bytes` ("Could not write <path>") / makes them durable ("Could not flush <path>").
void write_bytes(OpenFile& file, const std::filesystem::path& path, std::span<const std::uint8_t> bytes);
void flush_bytes(OpenFile& file, const std::filesystem::path& path);

// The whole content; PatchError io "<path> is larger than expected" above max_bytes.
std::string read_file(FileSystem& fs, const std::filesystem::path& path, std::uint64_t max_bytes);

// Writes "<path>.tmp", flushes it and moves it over `path`: a reader sees the old or
// the complete new content. On failure the old file stays and the temporary is removed.
void write_file_atomic(FileSystem& fs, const std::filesystem::path& path, std::string_view bytes);

// Makes the bytes already written to an existing file durable, retrying while locked.
void flush_file(FileSystem& fs, const std::filesystem::path& path);

// Moves `source` over `target` (read-only targets included), retrying while locked.
// Durable when it returns.
void replace_file(FileSystem& fs, const std::filesystem::path& source, const std::filesystem::path& target);

// Copies `source` over `target` (read-only targets included), retrying while locked.
// Durable when it returns: the copy is flushed.
void copy_file(FileSystem& fs, const std::filesystem::path& source, const std::filesystem::path& target);

// True if the file was deleted, false if it did not exist; retries while locked.
bool delete_file(FileSystem& fs, const std::filesystem::path& path);

// Removes the folder and everything in it as far as possible. Never throws.
void remove_tree(FileSystem& fs, const std::filesystem::path& folder);

// Removes the now-empty folders above `path`, never `root` itself nor a link. Never throws.
void remove_empty_parents(FileSystem& fs, const std::filesystem::path& root, const std::filesystem::path& path);

// Clears the way for a file at `target`: deletes a file standing where a folder is
// needed and an empty folder standing at the file's own place.
void make_room_for_file(FileSystem& fs, const std::filesystem::path& root, const std::filesystem::path& target);

}  // namespace kaldren::patcher
