// The log's platform calls on Windows.
#include <windows.h>

#include "core/log_platform.h"

namespace kaldren::patcher::log_platform {

UtcTime now() noexcept {
  SYSTEMTIME now{};
  GetSystemTime(&now);
  return {now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds};
}

std::uint64_t thread_id() noexcept { return GetCurrentThreadId(); }

void LogFileTraits::close(std::intptr_t file) noexcept { CloseHandle(reinterpret_cast<HANDLE>(file)); }

void make_folder(const std::filesystem::path& folder) noexcept { CreateDirectoryW(folder.c_str(), nullptr); }

std::optional<std::uint64_t> file_size(const std::filesystem::path& file) noexcept {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void move_over(const std::filesystem::path& from, const std::filesystem::path& to) noexcept {
  MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING);
}

LogFile open_append(const std::filesystem::path& file) noexcept {
  // Shared for reading, writing and deleting: support staff read the log while it runs.
  return LogFile(reinterpret_cast<std::intptr_t>(CreateFileW(file.c_str(), FILE_APPEND_DATA,
                                                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
}

void append(const LogFile& file, std::string_view line) noexcept {
  DWORD written = 0;
  WriteFile(reinterpret_cast<HANDLE>(file.get()), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace kaldren::patcher::log_platform
