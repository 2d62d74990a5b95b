#include "protocol/path_rule.h"

#include <fmt/format.h>

#include <string>

#include "core/error.h"
#include "core/text.h"

namespace kaldren::patcher {
namespace {

constexpr std::size_t max_path_bytes = 512;
constexpr std::size_t max_segment_bytes = 255;
constexpr std::size_t message_path_bytes = 128;

char ascii_upper(char c) noexcept { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

// `upper` is given in upper case.
bool equals_ascii_nocase(std::string_view text, std::string_view upper) noexcept {
  if (text.size() != upper.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (ascii_upper(text[i]) != upper[i]) return false;
  }
  return true;
}

// Windows opens these devices whatever folder or extension the name has.
bool is_device_name(std::string_view segment) noexcept {
  const std::string_view stem = segment.substr(0, segment.find('.'));
  for (const std::string_view name : {"CON", "PRN", "AUX", "NUL"}) {
    if (equals_ascii_nocase(stem, name)) return true;
  }
  if (stem.size() < 4) return false;
  const std::string_view prefix = stem.substr(0, 3);
  if (!equals_ascii_nocase(prefix, "COM") && !equals_ascii_nocase(prefix, "LPT")) return false;
  const std::string_view number = stem.substr(3);
  if (number.size() == 1) return number[0] >= '1' && number[0] <= '9';
  // Superscript one, two and three count as digits to Windows as well.
  return number == "\xC2\xB9" || number == "\xC2\xB2" || number == "\xC2\xB3";
}

bool is_forbidden_byte(char c) noexcept {
  const auto byte = static_cast<unsigned char>(c);
  if (byte < 0x20 || byte == 0x7F) return true;
  return std::string_view("\"*:<>?\\|").find(c) != std::string_view::npos;
}

bool is_safe_segment(std::string_view segment) noexcept {
  if (segment.empty() || segment == "." || segment == "..") return false;
  if (segment.size() > max_segment_bytes) return false;
  if (segment.back() == '.' || segment.back() == ' ') return false;
  if (is_device_name(segment)) return false;
  for (std::size_t i = 0; i < segment.size(); ++i) {
    if (is_forbidden_byte(segment[i])) return false;
    // "NAME~1" may alias another file through its generated short name.
    if (segment[i] == '~' && i + 1 < segment.size() && segment[i + 1] >= '0' && segment[i + 1] <= '9') {
      return false;
    }
  }
  return true;
}

}  // namespace

bool is_safe_path(std::string_view path) noexcept {
  if (path.empty() || path.size() > max_path_bytes) return false;
  if (path.front() == '/' || path.back() == '/') return false;

  // The launcher's executable and data folder are never patch files.
  const std::string_view first = path.substr(0, path.find('/'));
  if (equals_ascii_nocase(first, "LANTERNIX.EXE") || equals_ascii_nocase(first, "LANTERNIX")) return false;

  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    if (!is_safe_segment(path.substr(start, slash - start))) return false;
    if (slash == std::string_view::npos) break;
    start = slash + 1;
  }

  try {
    to_utf16(path);
  } catch (...) {
    // Invalid UTF-8, or no memory to check it: either way the name cannot be used.
    return false;
  }
  return true;
}

void require_safe_path(std::string_view path) {
  if (!is_safe_path(path)) {
    throw PatchError(ErrorCategory::security,
                     fmt::format("The patch names an unsafe file path: \"{}\"", path.substr(0, message_path_bytes)));
  }
}

std::filesystem::path resolve_path(const std::filesystem::path& root, std::string_view path) {
  require_safe_path(path);
  // make_preferred turns '/' into '\' on Windows and changes nothing elsewhere.
  std::filesystem::path relative = path_from_utf8(path);
  relative.make_preferred();
  return root / relative;
}

}  // namespace kaldren::patcher
