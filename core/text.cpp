#include "core/text.h"

#include <fmt/format.h>

namespace kaldren::patcher {

namespace {

// Windows paths are UTF-16 already; elsewhere they are bytes, UTF-8 by convention.
// Overloads on the platform's path string pick the conversion at compile time.
[[maybe_unused]] std::wstring utf16_of(const std::wstring& native) { return native; }
[[maybe_unused]] std::wstring utf16_of(const std::string& native) { return to_utf16_lenient(native); }
[[maybe_unused]] std::filesystem::path path_of(std::wstring_view utf16, wchar_t) { return std::filesystem::path(std::wstring(utf16)); }
[[maybe_unused]] std::filesystem::path path_of(std::wstring_view utf16, char) { return std::filesystem::path(to_utf8_lenient(utf16)); }

}  // namespace

std::wstring path_to_utf16(const std::filesystem::path& path) noexcept {
  try {
    return utf16_of(path.native());
  } catch (...) {
    return {};
  }
}

std::filesystem::path path_from_utf16(std::wstring_view utf16) {
  return path_of(utf16, std::filesystem::path::value_type{});
}

std::string display_path(const std::filesystem::path& path) noexcept { return to_utf8_lenient(path_to_utf16(path)); }

std::string format_size(std::uint64_t bytes) {
  static constexpr const char* kUnits[] = {"bytes", "KB", "MB", "GB", "TB"};
  constexpr int kLargestUnit = 4;
  if (bytes < 1024) return fmt::format("{} {}", bytes, kUnits[0]);
  double value = static_cast<double>(bytes);
  int unit = 0;
  while (value >= 1024 && unit < kLargestUnit) {
    value /= 1024;
    ++unit;
  }
  // Three significant digits are enough for a person reading a size.
  if (value >= 100) return fmt::format("{:.0f} {}", value, kUnits[unit]);
  return fmt::format("{:.1f} {}", value, kUnits[unit]);
}

std::string format_rate(double bytes_per_second) {
  if (bytes_per_second < 0) bytes_per_second = 0;
  return format_size(static_cast<std::uint64_t>(bytes_per_second)) + "/s";
}

std::string format_duration(std::uint64_t seconds) {
  if (seconds >= 3600) return fmt::format("{}:{:02}:{:02}", seconds / 3600, seconds / 60 % 60, seconds % 60);
  return fmt::format("{}:{:02}", seconds / 60, seconds % 60);
}

}  // namespace kaldren::patcher
