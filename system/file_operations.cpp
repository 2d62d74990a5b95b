// Reading, writing, moving, copying and deleting files, and the questions asked about
// them, over any FileSystem.
#include "system/file_operations.h"

#include <algorithm>
#include <string>

#include "core/error.h"
#include "core/text.h"
#include "system/file_policy.h"

namespace kaldren::patcher {

using file_policy::throw_by_code;

namespace {

// One read or write call takes a 32-bit count on Windows; 1 GiB keeps well inside it.
constexpr std::uint64_t kMaxTransferBytes = 1073741824;

std::filesystem::path temporary_path_for(const std::filesystem::path& path) {
  std::filesystem::path temporary = path;
  temporary += ".tmp";
  return temporary;
}

// The folder on disk for a listing folder written with '/' separators.
std::filesystem::path listing_folder(const std::filesystem::path& root, const std::string& folder) {
  if (folder.empty()) return root;
  std::filesystem::path relative = path_from_utf8(folder);
  relative.make_preferred();
  return root / relative;
}

void list_folder(FileSystem& fs, const std::filesystem::path& root, const std::string& folder,
                 FolderListing& listing) {
  const std::filesystem::path on_disk = listing_folder(root, folder);
  const FolderContents contents = fs.list(on_disk);
  if (const SystemCode error = contents.open_error; error != 0) {
    if (error == system_code::file_not_found || error == system_code::path_not_found ||
        error == system_code::not_a_folder) {
      return;
    }
    throw_by_code("Could not list ", on_disk, error);
  }
  const std::wstring prefix = folder.empty() ? std::wstring() : to_utf16(folder) + L"/";
  for (const FolderEntry& entry : contents.entries) {
    if (entry.status.folder || entry.status.reparse_point) continue;
    listing.insert_or_assign(fold_path_case(prefix + path_to_utf16(entry.name)),
                             FileInfo{entry.status.size, entry.status.modified});
  }
  if (contents.enumeration_error != 0) {
    throw_win32(ErrorCategory::io, "Could not list " + display_path(on_disk), contents.enumeration_error);
  }
}

}  // namespace

std::wstring listing_key(std::string_view relative_path) { return fold_path_case(to_utf16(relative_path)); }

std::string system_message(SystemCode code) {
  std::string text = win32_message(code);
  return text.empty() ? "Win32 error " + std::to_string(code) : text;
}

std::optional<FileInfo> file_info(FileSystem& fs, const std::filesystem::path& path) {
  FileStatus status;
  if (!file_policy::status_of(fs, path, status) || status.folder) return std::nullopt;
  return FileInfo{status.size, status.modified};
}

std::uint64_t free_space(FileSystem& fs, const std::filesystem::path& path) {
  // The folder may not exist yet (a new installation): ask for the nearest part that does.
  std::filesystem::path folder = path;
  FileStatus status;
  while (!file_policy::status_of(fs, folder, status)) {
    std::filesystem::path parent = folder.parent_path();
    if (parent == folder) break;
    folder = std::move(parent);
  }
  std::uint64_t available = 0;
  if (const SystemCode error = fs.free_space(folder, available); error != 0) {
    throw_win32(ErrorCategory::io, "Could not read the free space of " + display_path(folder), error);
  }
  return available;
}

bool can_write_to(FileSystem& fs, const std::filesystem::path& folder) {
  try {
    if (create_folders(fs, folder) != 0) return false;
    const std::filesystem::path probe = folder / (".lanternix-write-test-" + std::to_string(fs.process_id()));
    // The system deletes the probe when it is closed, so no file is left behind.
    OpenRequest request;
    request.access = OpenRequest::Access::write;
    request.disposition = OpenRequest::Disposition::create_always;
    request.delete_on_close = true;
    std::unique_ptr<OpenFile> file;
    return fs.open(probe, request, file) == 0;
  } catch (...) {
    return false;
  }
}

FolderListing list_files(FileSystem& fs, const std::filesystem::path& root, const std::vector<std::string>& folders) {
  FolderListing listing;
  for (const std::string& folder : folders) list_folder(fs, root, folder, listing);
  return listing;
}

SystemCode create_folders(FileSystem& fs, const std::filesystem::path& folder) {
  // Walk up to the nearest existing part, then create downward: roots and shares
  // above it are never touched.
  std::vector<std::filesystem::path> missing;
  std::filesystem::path current = folder;
  FileStatus status;
  while (!current.empty() && !file_policy::status_of(fs, current, status)) {
    missing.push_back(current);
    std::filesystem::path parent = current.parent_path();
    if (parent == current) break;
    current = std::move(parent);
  }
  if (missing.empty() && !current.empty() && !status.folder) return system_code::already_exists;
  for (auto part = missing.rbegin(); part != missing.rend(); ++part) {
    if (const SystemCode error = fs.create_folder(*part); error != 0) {
      // Another thread or process may have created it meanwhile.
      if (error == system_code::already_exists && file_policy::status_of(fs, *part, status) && status.folder) {
        continue;
      }
      return error;
    }
  }
  return 0;
}

void ensure_parent_folder(FileSystem& fs, const std::filesystem::path& path) {
  const std::filesystem::path parent = path.parent_path();
  if (parent.empty()) return;
  if (const SystemCode error = create_folders(fs, parent); error != 0) {
    throw PatchError(ErrorCategory::io,
                     "Could not create the folder " + display_path(parent) + ": " + system_message(error));
  }
}

std::unique_ptr<OpenFile> open_for_read(FileSystem& fs, const std::filesystem::path& path) {
  OpenRequest request;
  request.share = OpenRequest::share_read | OpenRequest::share_write | OpenRequest::share_delete;
  request.sequential = true;
  std::unique_ptr<OpenFile> file;
  if (const SystemCode error = fs.open(path, request, file); error != 0) throw_by_code("Could not open ", path, error);
  return file;
}

std::unique_ptr<OpenFile> open_for_write(FileSystem& fs, const std::filesystem::path& path, bool keep) {
  OpenRequest request;
  request.access = OpenRequest::Access::write;
  request.share = OpenRequest::share_read;
  request.disposition = keep ? OpenRequest::Disposition::open_always : OpenRequest::Disposition::create_always;
  request.sequential = true;
  std::unique_ptr<OpenFile> file;
  if (const SystemCode error = fs.open(path, request, file); error != 0) throw_by_code("Could not create ", path, error);
  return file;
}

void write_bytes(OpenFile& file, const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const std::size_t chunk = static_cast<std::size_t>(std::min<std::uint64_t>(bytes.size(), kMaxTransferBytes));
    if (const SystemCode error = file.write(bytes.first(chunk)); error != 0) {
      throw_by_code("Could not write ", path, error);
    }
    bytes = bytes.subspan(chunk);
  }
}

void flush_bytes(OpenFile& file, const std::filesystem::path& path) {
  if (const SystemCode error = file.flush(); error != 0) throw_by_code("Could not flush ", path, error);
}

std::string read_file(FileSystem& fs, const std::filesystem::path& path, std::uint64_t max_bytes) {
  const std::unique_ptr<OpenFile> file = open_for_read(fs, path);
  std::uint64_t size = 0;
  if (const SystemCode error = file->size(size); error != 0) {
    throw_win32(ErrorCategory::io, "Could not size " + display_path(path), error);
  }
  if (size > max_bytes) throw PatchError(ErrorCategory::io, display_path(path) + " is larger than expected");
  std::string content(static_cast<std::size_t>(size), '\0');
  std::size_t done = 0;
  while (done < content.size()) {
    const std::size_t chunk =
        static_cast<std::size_t>(std::min<std::uint64_t>(content.size() - done, kMaxTransferBytes));
    std::size_t read = 0;
    const std::span<std::uint8_t> buffer(reinterpret_cast<std::uint8_t*>(content.data()) + done, chunk);
    if (const SystemCode error = file->read(buffer, read); error != 0) {
      throw_win32(ErrorCategory::io, "Could not read " + display_path(path), error);
    }
    if (read == 0) break;  // The file shrank since it was sized.
    done += read;
  }
  content.resize(done);
  return content;
}

void write_file_atomic(FileSystem& fs, const std::filesystem::path& path, std::string_view bytes) {
  ensure_parent_folder(fs, path);
  const std::filesystem::path temporary = temporary_path_for(path);
  OpenRequest request;
  request.access = OpenRequest::Access::write;
  request.disposition = OpenRequest::Disposition::create_always;
  std::unique_ptr<OpenFile> file;
  if (const SystemCode error = fs.open(temporary, request, file); error != 0) {
    throw_by_code("Could not create ", temporary, error);
  }
  try {
    write_bytes(*file, temporary, std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
    flush_bytes(*file, temporary);
    file.reset();
    replace_file(fs, temporary, path);
  } catch (...) {
    file.reset();
    fs.remove_file(temporary);
    throw;
  }
}

namespace {

std::unique_ptr<OpenFile> open_to_flush(FileSystem& fs, const std::filesystem::path& path, OpenRequest::Access access) {
  OpenRequest request;
  request.access = access;
  request.share = OpenRequest::share_read | OpenRequest::share_write | OpenRequest::share_delete;
  request.sequential = true;
  std::unique_ptr<OpenFile> file;
  const SystemCode error = file_policy::retry_while_locked(fs, path, [&] { return fs.open(path, request, file); });
  if (error != 0) throw_by_code("Could not open ", path, error);
  return file;
}

}  // namespace

std::unique_ptr<OpenFile> open_for_read_and_flush(FileSystem& fs, const std::filesystem::path& path) {
  return open_to_flush(fs, path, OpenRequest::Access::read_write);
}

void flush_file(FileSystem& fs, const std::filesystem::path& path) {
  flush_bytes(*open_to_flush(fs, path, OpenRequest::Access::write), path);
}

void replace_file(FileSystem& fs, const std::filesystem::path& source, const std::filesystem::path& target) {
  ensure_parent_folder(fs, target);
  FileStatus status;
  if (file_policy::status_of(fs, target, status) && status.folder) {
    throw PatchError(ErrorCategory::io, display_path(target) + " is a folder where a file belongs");
  }
  if (status.read_only) fs.set_read_only(target, false);
  const SystemCode error = file_policy::retry_while_locked(fs, target, [&] { return fs.move(source, target); });
  if (error != 0) {
    file_policy::throw_after_retries(fs, "Could not replace " + display_path(target), error, {target, source});
  }
}

void copy_file(FileSystem& fs, const std::filesystem::path& source, const std::filesystem::path& target) {
  ensure_parent_folder(fs, target);
  // CopyFileW refuses to overwrite a read-only file, and a hidden or system one too:
  // retrying would only wait for nothing.
  if (FileStatus status; file_policy::status_of(fs, target, status)) {
    if (status.read_only) fs.set_read_only(target, false);
    if (status.hidden) fs.set_hidden(target, false);
  }
  const SystemCode error = file_policy::retry_while_locked(fs, target, [&] { return fs.copy(source, target); });
  if (error != 0) {
    file_policy::throw_after_retries(fs, "Could not copy to " + display_path(target), error, {target, source});
  }
  // A copy is installed like a moved file: the index written next vouches for its bytes.
  flush_file(fs, target);
}

bool delete_file(FileSystem& fs, const std::filesystem::path& path) {
  file_policy::clear_read_only(fs, path);
  const SystemCode error = file_policy::retry_while_locked(fs, path, [&] { return fs.remove_file(path); });
  if (error == system_code::file_not_found || error == system_code::path_not_found) return false;
  if (error != 0) file_policy::throw_after_retries(fs, "Could not delete " + display_path(path), error, {path});
  return true;
}

}  // namespace kaldren::patcher
