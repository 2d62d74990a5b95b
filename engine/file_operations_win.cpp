// Reading, writing, moving, copying and deleting files on Windows.
#include <windows.h>

#include <algorithm>

#include "core/error.h"
#include "engine/file_operations.h"
#include "engine/file_support_win.h"

namespace kaldren::patcher {

using file_support::display_path;

namespace {

// Single ReadFile/WriteFile calls take a 32-bit count; 1 GiB keeps well inside it.
constexpr std::uint64_t kMaxTransferBytes = 1073741824;

std::filesystem::path temporary_path_for(const std::filesystem::path& path) {
  std::filesystem::path temporary = path;
  temporary += L".tmp";
  return temporary;
}

void throw_by_code(std::string_view context_phrase, const std::filesystem::path& path,
                   DWORD code) {
  throw_win32(category_for_win32(code), std::string(context_phrase) + display_path(path), code);
}

// Returns 0 or the Win32 code of the first failed call. A write that reports success
// but no bytes means the volume is full (seen on full RAM disks), so it is a failure.
DWORD write_all(HANDLE file, std::string_view bytes) {
  while (!bytes.empty()) {
    const DWORD chunk =
        static_cast<DWORD>(std::min<std::uint64_t>(bytes.size(), kMaxTransferBytes));
    DWORD written = 0;
    SetLastError(ERROR_SUCCESS);
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) return GetLastError();
    if (written == 0) {
      const DWORD error = GetLastError();
      return error != ERROR_SUCCESS ? error : ERROR_DISK_FULL;
    }
    bytes.remove_prefix(written);
  }
  return 0;
}

}  // namespace

void ensure_parent_folder(const std::filesystem::path& path) {
  const std::filesystem::path parent = path.parent_path();
  if (parent.empty()) return;
  const DWORD error = file_support::create_folders(parent);
  if (error != 0) {
    throw PatchError(ErrorCategory::io, "Could not create the folder " + display_path(parent) +
                                            ": " + file_support::system_message(error));
  }
}

UniqueHandle open_for_read(const std::filesystem::path& path) {
  UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    throw_by_code("Could not open ", path, error);
  }
  return file;
}

std::string read_file(const std::filesystem::path& path, std::uint64_t max_bytes) {
  const UniqueHandle file = open_for_read(path);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file.get(), &size)) {
    const DWORD error = GetLastError();
    throw_win32(ErrorCategory::io, "Could not size " + display_path(path), error);
  }
  if (size.QuadPart < 0 || static_cast<std::uint64_t>(size.QuadPart) > max_bytes) {
    throw PatchError(ErrorCategory::io, display_path(path) + " is larger than expected");
  }
  std::string content(static_cast<std::size_t>(size.QuadPart), '\0');
  std::size_t done = 0;
  while (done < content.size()) {
    const DWORD chunk =
        static_cast<DWORD>(std::min<std::uint64_t>(content.size() - done, kMaxTransferBytes));
    DWORD read = 0;
    if (!ReadFile(file.get(), content.data() + done, chunk, &read, nullptr)) {
      const DWORD error = GetLastError();
      throw_win32(ErrorCategory::io, "Could not read " + display_path(path), error);
    }
    if (read == 0) break;  // The file shrank since it was sized.
    done += read;
  }
  content.resize(done);
  return content;
}

void write_file_atomic(const std::filesystem::path& path, std::string_view bytes) {
  ensure_parent_folder(path);
  const std::filesystem::path temporary = temporary_path_for(path);
  UniqueHandle file(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    throw_by_code("Could not create ", temporary, error);
  }
  const auto fail = [&](std::string_view context_phrase, DWORD error) {
    file.reset();
    DeleteFileW(temporary.c_str());
    throw_by_code(context_phrase, temporary, error);
  };
  if (const DWORD error = write_all(file.get(), bytes); error != 0) fail("Could not write ", error);
  if (!FlushFileBuffers(file.get())) {
    const DWORD error = GetLastError();
    fail("Could not flush ", error);
  }
  file.reset();
  try {
    replace_file(temporary, path);
  } catch (...) {
    DeleteFileW(temporary.c_str());
    throw;
  }
}

void flush_file(const std::filesystem::path& path) {
  const UniqueHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD error = GetLastError();
    throw_by_code("Could not open ", path, error);
  }
  if (!FlushFileBuffers(file.get())) {
    const DWORD error = GetLastError();
    throw_by_code("Could not flush ", path, error);
  }
}

void replace_file(const std::filesystem::path& source, const std::filesystem::path& target) {
  ensure_parent_folder(target);
  const DWORD attributes = file_support::attributes_of(target);
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    throw PatchError(ErrorCategory::io, display_path(target) + " is a folder where a file belongs");
  }
  file_support::clear_read_only(target);
  const DWORD error = file_support::retry_while_locked(target, [&]() -> DWORD {
    if (MoveFileExW(source.c_str(), target.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
      return 0;
    }
    return GetLastError();
  });
  if (error != 0) {
    file_support::throw_after_retries("Could not replace " + display_path(target), error);
  }
}

void copy_file(const std::filesystem::path& source, const std::filesystem::path& target) {
  ensure_parent_folder(target);
  file_support::clear_read_only(target);
  const DWORD error = file_support::retry_while_locked(target, [&]() -> DWORD {
    if (CopyFileW(source.c_str(), target.c_str(), FALSE)) return 0;
    return GetLastError();
  });
  if (error != 0) {
    file_support::throw_after_retries("Could not copy to " + display_path(target), error);
  }
}

bool delete_file(const std::filesystem::path& path) {
  file_support::clear_read_only(path);
  const DWORD error = file_support::retry_while_locked(path, [&]() -> DWORD {
    if (DeleteFileW(path.c_str())) return 0;
    return GetLastError();
  });
  if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return false;
  if (error != 0) {
    file_support::throw_after_retries("Could not delete " + display_path(path), error);
  }
  return true;
}

}  // namespace kaldren::patcher
