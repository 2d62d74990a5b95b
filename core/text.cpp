#include "core/text.h"

#include <fmt/format.h>

#include "core/error.h"
#include "core/text_codec.h"

namespace kaldren::patcher {

void detail::throw_text_too_long() { throw PatchError(ErrorCategory::internal, "Text is too long to convert"); }

namespace {

// Windows paths are UTF-16 already; elsewhere they are bytes, UTF-8 by convention.
// Overloads on the platform's path string pick the conversion at compile time.
[[maybe_unused]] std::wstring utf16_of(const std::wstring& native) { return native; }
[[maybe_unused]] std::wstring utf16_of(const std::string& native) { return to_utf16_lenient(native); }
[[maybe_unused]] std::filesystem::path path_of(std::wstring_view utf16, wchar_t) { return std::filesystem::path(std::wstring(utf16)); }
[[maybe_unused]] std::filesystem::path path_of(std::wstring_view utf16, char) { return std::filesystem::path(to_utf8_lenient(utf16)); }

template <typename In, typename Out>
using Codec = bool (*)(In, bool, Out&);

template <typename In, typename Out>
Out convert(In text, Codec<In, Out> codec, const char* invalid) {
  if (text.empty()) return {};
  if (text.size() > detail::kMaxTextUnits) detail::throw_text_too_long();
  Out result;
  if (!codec(text, true, result)) throw PatchError(ErrorCategory::configuration, invalid);
  return result;
}

// Never throws: an empty text when the platform cannot convert at all (or memory ran out).
template <typename In, typename Out>
Out convert_lenient(In text, Codec<In, Out> codec) noexcept {
  if (text.empty() || text.size() > detail::kMaxTextUnits) return {};
  try {
    Out result;
    if (codec(text, false, result)) return result;
  } catch (...) {
  }
  return {};
}

}  // namespace

std::wstring to_utf16(std::string_view utf8) { return convert(utf8, detail::utf8_to_utf16, "Text is not valid UTF-8"); }

std::string to_utf8(std::wstring_view utf16) { return convert(utf16, detail::utf16_to_utf8, "Text is not valid UTF-16"); }

std::wstring to_utf16_lenient(std::string_view utf8) noexcept { return convert_lenient(utf8, detail::utf8_to_utf16); }

std::string to_utf8_lenient(std::wstring_view utf16) noexcept { return convert_lenient(utf16, detail::utf16_to_utf8); }

std::optional<std::string> decode_percent_escapes(std::wstring_view segment) {
  const auto hex_value = [](wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    return -1;
  };
  std::string bytes;
  std::size_t literal_start = 0;
  for (std::size_t i = 0; i <= segment.size(); ++i) {
    if (i < segment.size() && segment[i] != L'%') continue;
    try {
      bytes += to_utf8(segment.substr(literal_start, i - literal_start));
    } catch (const PatchError&) {
      return std::nullopt;
    }
    if (i == segment.size()) break;
    const int high = i + 1 < segment.size() ? hex_value(segment[i + 1]) : -1;
    const int low = i + 2 < segment.size() ? hex_value(segment[i + 2]) : -1;
    if (high < 0 || low < 0) return std::nullopt;
    bytes += static_cast<char>(high * 16 + low);
    i += 2;
    literal_start = i + 1;
  }
  return bytes;
}

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
