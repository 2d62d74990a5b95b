#include "core/text.h"

#include <fmt/format.h>

namespace kaldren::patcher {

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

}  // namespace kaldren::patcher
