// Text conversions through the platform's own UTF-8 codec and case tables, so
// the launcher agrees with the file system about names.
#include <windows.h>

#include <climits>

#include "core/error.h"
#include "core/text.h"

namespace kaldren::patcher {
namespace {

[[noreturn]] void throw_too_long() {
  throw PatchError(ErrorCategory::internal, "Text is too long to convert");
}

// Both directions: a length query, then the conversion into a buffer of that size.
// Returns false for input the platform rejects or sizes it cannot report.
bool utf8_to_utf16(std::string_view utf8, DWORD flags, std::wstring& out) {
  const int length = static_cast<int>(utf8.size());
  const int needed = MultiByteToWideChar(CP_UTF8, flags, utf8.data(), length, nullptr, 0);
  if (needed <= 0) return false;
  out.assign(static_cast<std::size_t>(needed), L'\0');
  return MultiByteToWideChar(CP_UTF8, flags, utf8.data(), length, out.data(), needed) == needed;
}

bool utf16_to_utf8(std::wstring_view utf16, DWORD flags, std::string& out) {
  const int length = static_cast<int>(utf16.size());
  const int needed =
      WideCharToMultiByte(CP_UTF8, flags, utf16.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return false;
  out.assign(static_cast<std::size_t>(needed), '\0');
  return WideCharToMultiByte(CP_UTF8, flags, utf16.data(), length, out.data(), needed, nullptr,
                             nullptr) == needed;
}

}  // namespace

std::wstring to_utf16(std::string_view utf8) {
  if (utf8.empty()) return {};
  if (utf8.size() > INT_MAX) throw_too_long();
  std::wstring result;
  if (!utf8_to_utf16(utf8, MB_ERR_INVALID_CHARS, result)) {
    throw PatchError(ErrorCategory::configuration, "Text is not valid UTF-8");
  }
  return result;
}

std::string to_utf8(std::wstring_view utf16) {
  if (utf16.empty()) return {};
  if (utf16.size() > INT_MAX) throw_too_long();
  std::string result;
  if (!utf16_to_utf8(utf16, WC_ERR_INVALID_CHARS, result)) {
    throw PatchError(ErrorCategory::configuration, "Text is not valid UTF-16");
  }
  return result;
}

std::wstring to_utf16_lenient(std::string_view utf8) noexcept {
  if (utf8.empty() || utf8.size() > INT_MAX) return {};
  try {
    std::wstring result;
    if (utf8_to_utf16(utf8, 0, result)) return result;
  } catch (...) {
  }
  return {};
}

std::string to_utf8_lenient(std::wstring_view utf16) noexcept {
  if (utf16.empty() || utf16.size() > INT_MAX) return {};
  try {
    std::string result;
    if (utf16_to_utf8(utf16, 0, result)) return result;
  } catch (...) {
  }
  return {};
}

std::wstring fold_path_case(std::wstring_view text) {
  if (text.empty()) return {};
  if (text.size() > INT_MAX) throw_too_long();
  const int length = static_cast<int>(text.size());
  std::wstring folded(text.size(), L'\0');
  const int written = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(), length,
                                    folded.data(), length, nullptr, nullptr, 0);
  if (written != length) throw PatchError(ErrorCategory::internal, "Could not fold path case");
  return folded;
}

bool equal_ignoring_case(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

std::filesystem::path path_from_utf8(std::string_view utf8) {
  return std::filesystem::path(to_utf16(utf8));
}

}  // namespace kaldren::patcher
