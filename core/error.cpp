#include "core/error.h"

#include <fmt/format.h>

namespace kaldren::patcher {

const char* category_name(ErrorCategory category) noexcept {
  switch (category) {
    case ErrorCategory::network: return "network";
    case ErrorCategory::server: return "server";
    case ErrorCategory::security: return "security";
    case ErrorCategory::disk_space: return "disk_space";
    case ErrorCategory::file_in_use: return "file_in_use";
    case ErrorCategory::io: return "io";
    case ErrorCategory::configuration: return "configuration";
    case ErrorCategory::cancelled: return "cancelled";
    case ErrorCategory::internal: return "internal";
  }
  // Values read back from saved data may be newer than this build.
  return "unknown";
}

ErrorCategory category_for_win32(std::uint32_t code) noexcept {
  switch (code) {
    case 32:    // ERROR_SHARING_VIOLATION
    case 33:    // ERROR_LOCK_VIOLATION
    case 1224:  // ERROR_USER_MAPPED_FILE
      return ErrorCategory::file_in_use;
    case 39:   // ERROR_HANDLE_DISK_FULL
    case 112:  // ERROR_DISK_FULL
      return ErrorCategory::disk_space;
    default: return ErrorCategory::io;
  }
}

std::string win32_error_text(std::string_view context, std::uint32_t code) {
  const std::string text = win32_message(code);
  if (text.empty()) return fmt::format("{} (Win32 error {})", context, code);
  return fmt::format("{}: {} (Win32 error {})", context, text, code);
}

void throw_cancelled() { throw PatchError(ErrorCategory::cancelled, "The launcher was closed"); }

int exit_code_for(ErrorCategory category) noexcept {
  constexpr int kFirst = 10;
  const auto value = static_cast<std::uint32_t>(category);
  return kFirst + static_cast<int>(value <= static_cast<std::uint32_t>(ErrorCategory::internal)
                                       ? value
                                       : static_cast<std::uint32_t>(ErrorCategory::internal));
}

void throw_win32(ErrorCategory category, std::string_view context, std::uint32_t code) {
  throw PatchError(category, win32_error_text(context, code));
}

}  // namespace kaldren::patcher
