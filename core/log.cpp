// The process-wide log: one append-only file behind one mutex, with one older
// generation kept.
#include "core/log.h"

#include <mutex>

#include "core/log_platform.h"

namespace kaldren::patcher {
namespace {

constexpr std::uint64_t kRotateAboveBytes = 4194304;

struct Logger {
  std::mutex mutex;
  log_platform::LogFile file;
};

Logger& logger() {
  static Logger instance;
  return instance;
}

// Each missing folder above the file, from the top down; existing ones and failures
// are left for the open to report (by failing).
void create_parent_folders(const std::filesystem::path& file) {
  const std::filesystem::path parent = file.parent_path();
  std::filesystem::path folder = parent.root_path();
  for (const std::filesystem::path& part : parent.relative_path()) {
    folder /= part;
    log_platform::make_folder(folder);
  }
}

// Keeps one older generation: a file above the limit replaces "<name>.1".
void rotate_if_large(const std::filesystem::path& path) {
  const std::optional<std::uint64_t> size = log_platform::file_size(path);
  if (!size || *size <= kRotateAboveBytes) return;
  std::filesystem::path older = path;
  older += ".1";
  log_platform::move_over(path, older);
}

}  // namespace

void open_log(const std::filesystem::path& path) noexcept {
  try {
    create_parent_folders(path);
    Logger& state = logger();
    const std::lock_guard lock(state.mutex);
    state.file.reset();
    rotate_if_large(path);
    state.file = log_platform::open_append(path);
  } catch (...) {
    // Logging never fails a run; without a file, lines are dropped.
  }
}

void log(LogLevel level, std::string_view message) noexcept {
  try {
    const log_platform::UtcTime time = log_platform::now();
    const std::string line = format_log_line(time.year, time.month, time.day, time.hour, time.minute, time.second,
                                             time.millisecond, level, log_platform::thread_id(), message);
    Logger& state = logger();
    const std::lock_guard lock(state.mutex);
    if (state.file) log_platform::append(state.file, line);
  } catch (...) {
    // Logging never fails a run.
  }
}

std::string_view level_word(LogLevel level) noexcept {
  switch (level) {
    case LogLevel::debug: return "DEBUG";
    case LogLevel::info: return "INFO ";
    case LogLevel::warn: return "WARN ";
    case LogLevel::error: return "ERROR";
  }
  return "?    ";
}

std::string format_log_line(int year, int month, int day, int hour, int minute, int second,
                            int millisecond, LogLevel level, std::uint64_t thread_id,
                            std::string_view message) {
  return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z {} [{}] {}\r\n", year, month, day,
                     hour, minute, second, millisecond, level_word(level), thread_id, message);
}

}  // namespace kaldren::patcher
