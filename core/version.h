// Three-part versions of the launcher and the game client.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kaldren::patcher {

struct Version {
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint32_t patch = 0;
  friend auto operator<=>(const Version&, const Version&) = default;
};

// "major.minor.patch" with decimal parts, no leading zeros, each at most 2^32-1;
// anything else (signs, spaces, suffixes) gives no value.
std::optional<Version> parse_version(std::string_view text);

std::string version_text(const Version& version);

}  // namespace kaldren::patcher
