// UTF-8 <-> UTF-16 conversion, path case folding and byte sizes as text.
// Wide strings hold UTF-16 code units on every platform (also where wchar_t is
// 32 bits wide), so lengths and behaviour match the Windows program.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace kaldren::patcher {

// Strict: invalid input throws PatchError configuration "Text is not valid UTF-8"
// (or "... UTF-16"); over 2^31-1 units, PatchError internal "Text is too long to convert".
std::wstring to_utf16(std::string_view utf8);
std::string to_utf8(std::wstring_view utf16);

// Lenient: malformed input becomes replacement characters; never throws.
std::wstring to_utf16_lenient(std::string_view utf8) noexcept;
std::string to_utf8_lenient(std::wstring_view utf16) noexcept;

// Invariant upper case of the same length: the key for comparing game paths.
std::wstring fold_path_case(std::wstring_view text);

// Equal unit by unit once upper-cased, as the system compares names ignoring case
// (CompareStringOrdinal on Windows; fold_path_case elsewhere).
bool equal_ignoring_case(std::wstring_view a, std::wstring_view b);

// A strictly checked UTF-8 relative or absolute name as a platform path.
std::filesystem::path path_from_utf8(std::string_view utf8);

// UTF-16 (lenient) as a platform path.
std::filesystem::path path_from_utf16(std::wstring_view utf16);

// A platform path as UTF-16 / as UTF-8 for messages and the log (lenient: never fails).
std::wstring path_to_utf16(const std::filesystem::path& path) noexcept;
std::string display_path(const std::filesystem::path& path) noexcept;

// The bytes a URL segment stands for, its literal text as UTF-8: every '%' must be
// followed by two hexadecimal digits; nothing when one is not, or the text is not UTF-16.
std::optional<std::string> decode_percent_escapes(std::wstring_view segment);

// "1023 bytes", "1.5 KB", "100 KB", "1048576 TB".
std::string format_size(std::uint64_t bytes);
// "12.3 MB/s" style rate and "1:05" style duration for progress texts.
std::string format_rate(double bytes_per_second);
std::string format_duration(std::uint64_t seconds);

}  // namespace kaldren::patcher
