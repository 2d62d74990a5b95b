#include "core/version.h"

#include <fmt/format.h>

namespace kaldren::patcher {
namespace {

// Decimal digits only, no leading zero, within 32 bits.
std::optional<std::uint32_t> parse_part(std::string_view part) {
  if (part.empty() || part.size() > 10) return std::nullopt;
  if (part.size() > 1 && part.front() == '0') return std::nullopt;
  std::uint64_t value = 0;
  for (const char c : part) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (value > 0xFFFFFFFFu) return std::nullopt;
  return static_cast<std::uint32_t>(value);
}

}  // namespace

std::optional<Version> parse_version(std::string_view text) {
  const std::size_t first = text.find('.');
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = text.find('.', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  if (text.find('.', second + 1) != std::string_view::npos) return std::nullopt;
  const auto major = parse_part(text.substr(0, first));
  const auto minor = parse_part(text.substr(first + 1, second - first - 1));
  const auto patch = parse_part(text.substr(second + 1));
  if (!major || !minor || !patch) return std::nullopt;
  return Version{*major, *minor, *patch};
}

std::string version_text(const Version& version) {
  return fmt::format("{}.{}.{}", version.major, version.minor, version.patch);
}

}  // namespace kaldren::patcher
