// The path rule on any bytes: the three entry points agree, and a path it accepts,
// joined to the game folder, stays below it: no empty, "." or ".." part, no drive,
// stream or second separator, and exactly one more component per '/'-separated part.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "fuzz_check.h"
#include "protocol/path_rule.h"

namespace kaldren::patcher {
namespace {

void check_stays_below(const std::filesystem::path& root, const std::filesystem::path& resolved,
                       std::string_view path) {
  const std::vector<std::string_view> parts = fuzz::split(path, '/');
  for (const std::string_view part : parts) {
    FUZZ_CHECK(!part.empty() && part != "." && part != "..", path);
    // Windows reads these as a separator, a drive or a data stream.
    FUZZ_CHECK(part.find_first_of("\\:") == std::string_view::npos, path);
  }
  FUZZ_CHECK(!resolved.relative_path().empty() && resolved.is_absolute(), path);
  const std::filesystem::path relative = resolved.lexically_relative(root);
  FUZZ_CHECK(!relative.empty() && !relative.is_absolute(), path);
  std::size_t components = 0;
  for (const auto& component : relative) {
    FUZZ_CHECK(component != ".." && component != "." && !component.empty(), path);
    ++components;
  }
  FUZZ_CHECK(components == parts.size(), path);
  FUZZ_CHECK(resolved.lexically_normal() == resolved, path);
}

}  // namespace
}  // namespace kaldren::patcher

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kaldren::patcher;
  const std::string_view path(reinterpret_cast<const char*>(data), size);
  static const std::filesystem::path root = std::filesystem::path("/games/Kaldren Morvale");
  const bool safe = is_safe_path(path);
  bool required = true;
  try {
    require_safe_path(path);
  } catch (const PatchError& error) {
    FUZZ_CHECK(error.category() == ErrorCategory::security, path);
    required = false;
  }
  FUZZ_CHECK(required == safe, path);
  try {
    const std::filesystem::path resolved = resolve_path(root, path);
    FUZZ_CHECK(safe, path);
    check_stays_below(root, resolved, path);
  } catch (const PatchError& error) {
    FUZZ_CHECK(!safe && error.category() == ErrorCategory::security, path);
  }
  return 0;
}
