#include "core/log.h"

namespace kaldren::patcher {

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
