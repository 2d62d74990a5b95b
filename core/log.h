// The process-wide log: one UTC-stamped line per call, written whole in one
// write under one mutex, so lines of different threads never interleave.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include <fmt/format.h>

namespace kaldren::patcher {

enum class LogLevel : std::uint32_t { debug = 0, info = 1, warn = 2, error = 3 };

// "DEBUG", "INFO ", "WARN ", "ERROR", or "?    " for any other value (always five characters).
std::string_view level_word(LogLevel level) noexcept;

// Sets the log file, closing any earlier one; a file above 4 MiB becomes "<name>.1" first.
// Never fails: when the file cannot be opened, later lines are dropped.
void open_log(const std::filesystem::path& path) noexcept;

// Writes one line if a log file is open; drops it otherwise. Thread-safe, never throws.
void log(LogLevel level, std::string_view message) noexcept;

template <typename... Args>
void log(LogLevel level, fmt::format_string<Args...> format, Args&&... args) noexcept {
  try {
    log(level, std::string_view(fmt::format(format, std::forward<Args>(args)...)));
  } catch (...) {
    // Logging never fails a run.
  }
}

// The line exactly as written (without writing it): time stamp, level, thread id,
// message and CR LF. Exposed for tests of the line format.
std::string format_log_line(int year, int month, int day, int hour, int minute, int second,
                            int millisecond, LogLevel level, std::uint64_t thread_id,
                            std::string_view message);

}  // namespace kaldren::patcher
