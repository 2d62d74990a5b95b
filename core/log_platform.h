// What the log needs from the platform: the clock, the thread id and an append-only
// file. The rest of the log (line format, rotation, locking) is written once, in log.cpp.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>

#include "core/owned_handle.h"

namespace kaldren::patcher::log_platform {

struct UtcTime {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, millisecond = 0;
};
UtcTime now() noexcept;
std::uint64_t thread_id() noexcept;

// A file handle or descriptor as a number: -1 (INVALID_HANDLE_VALUE or no descriptor) is none.
struct LogFileTraits {
  using value_type = std::intptr_t;
  static std::intptr_t invalid() noexcept { return -1; }
  static void close(std::intptr_t file) noexcept;
};
using LogFile = OwnedHandle<LogFileTraits>;

// Each call fails silently: logging never fails a run.
void make_folder(const std::filesystem::path& folder) noexcept;
std::optional<std::uint64_t> file_size(const std::filesystem::path& file) noexcept;
void move_over(const std::filesystem::path& from, const std::filesystem::path& to) noexcept;
LogFile open_append(const std::filesystem::path& file) noexcept;
void append(const LogFile& file, std::string_view line) noexcept;

}  // namespace kaldren::patcher::log_platform
