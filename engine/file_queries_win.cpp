// Questions about files, folders and volumes on Windows: sizes and times, folder
// listings, free space, whether a folder can be written and whether long paths work.
#include <windows.h>

#include <string>

#include "core/error.h"
#include "core/text.h"
#include "engine/file_operations.h"
#include "engine/file_support_win.h"

namespace kaldren::patcher {

using file_support::display_path;

namespace {

std::uint64_t join(DWORD high, DWORD low) {
  return (static_cast<std::uint64_t>(high) << 32) | low;
}

bool is_listed_file(const WIN32_FIND_DATAW& entry) {
  return (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// The folder on disk for a listing folder written with '/' separators.
std::filesystem::path listing_folder(const std::filesystem::path& root,
                                     const std::wstring& folder) {
  if (folder.empty()) return root;
  std::wstring native = folder;
  for (wchar_t& character : native) {
    if (character == L'/') character = L'\\';
  }
  return root / native;
}

void list_folder(const std::filesystem::path& root, const std::string& folder,
                 FolderListing& listing) {
  const std::wstring wide_folder = to_utf16(folder);
  const std::filesystem::path on_disk = listing_folder(root, wide_folder);
  const std::filesystem::path pattern = on_disk / L"*";
  WIN32_FIND_DATAW entry{};
  FindHandle search(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
  if (!search) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
        error == ERROR_DIRECTORY) {
      return;
    }
    throw_win32(category_for_win32(error), "Could not list " + display_path(on_disk), error);
  }
  const std::wstring prefix = wide_folder.empty() ? std::wstring() : wide_folder + L"/";
  do {
    if (is_listed_file(entry)) {
      listing.insert_or_assign(fold_path_case(prefix + entry.cFileName),
                               FileInfo{join(entry.nFileSizeHigh, entry.nFileSizeLow),
                                        join(entry.ftLastWriteTime.dwHighDateTime,
                                             entry.ftLastWriteTime.dwLowDateTime)});
    }
  } while (FindNextFileW(search.get(), &entry));
  const DWORD error = GetLastError();
  if (error != ERROR_NO_MORE_FILES) {
    throw_win32(ErrorCategory::io, "Could not list " + display_path(on_disk), error);
  }
}

}  // namespace

std::wstring listing_key(std::string_view relative_path) {
  return fold_path_case(to_utf16(relative_path));
}

std::optional<FileInfo> file_info(const std::filesystem::path& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::nullopt;
  return FileInfo{join(data.nFileSizeHigh, data.nFileSizeLow),
                  join(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime)};
}

std::uint64_t free_space(const std::filesystem::path& path) {
  // The folder may not exist yet (a new installation): ask for the nearest part that does.
  std::filesystem::path folder = path;
  while (file_support::attributes_of(folder) == INVALID_FILE_ATTRIBUTES) {
    std::filesystem::path parent = folder.parent_path();
    if (parent == folder) break;
    folder = std::move(parent);
  }
  ULARGE_INTEGER available{};
  if (!GetDiskFreeSpaceExW(folder.empty() ? nullptr : folder.c_str(), &available, nullptr,
                           nullptr)) {
    const DWORD error = GetLastError();
    throw_win32(ErrorCategory::io, "Could not read the free space of " + display_path(folder),
                error);
  }
  return available.QuadPart;
}

bool can_write_to(const std::filesystem::path& folder) {
  try {
    if (file_support::create_folders(folder) != 0) return false;
    const std::filesystem::path probe =
        folder / (L".lanternix-write-test-" + std::to_wstring(GetCurrentProcessId()));
    // Windows deletes the probe when the handle closes, so no file is left behind.
    const UniqueHandle file(CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                        FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE,
                                        nullptr));
    return file.valid();
  } catch (...) {
    return false;
  }
}

bool long_paths_enabled() {
  DWORD value = 0;
  DWORD size = sizeof(value);
  const LSTATUS status =
      RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\FileSystem",
                   L"LongPathsEnabled", RRF_RT_REG_DWORD, nullptr, &value, &size);
  return status == ERROR_SUCCESS && value != 0;
}

FolderListing list_files(const std::filesystem::path& root,
                         const std::vector<std::string>& folders) {
  FolderListing listing;
  for (const std::string& folder : folders) list_folder(root, folder, listing);
  return listing;
}

}  // namespace kaldren::patcher
