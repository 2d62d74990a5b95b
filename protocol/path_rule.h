// The one rule for relative file paths taken from patch sources or saved state,
// and their mapping under the game folder.
#pragma once

#include <filesystem>
#include <string_view>

namespace kaldren::patcher {

// True when the UTF-8 path ('/'-separated) may name a game file. Never throws.
bool is_safe_path(std::string_view path) noexcept;

// Throws PatchError security "The patch names an unsafe file path: \"...\"" (first 128 bytes).
void require_safe_path(std::string_view path);

// root / path with '/' turned into the platform separator; throws as require_safe_path.
std::filesystem::path resolve_path(const std::filesystem::path& root, std::string_view path);

}  // namespace kaldren::patcher
