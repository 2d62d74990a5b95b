// Text conversions through the platform's own UTF-8 codec and case tables, so
// the launcher agrees with the file system about names.
#include <windows.h>

#include "core/error.h"
#include "core/text.h"
#include "core/text_codec.h"

namespace kaldren::patcher {

namespace detail {

// Both directions: a length query, then the conversion into a buffer of that size.
// Returns false for input the platform rejects or sizes it cannot report.
bool utf8_to_utf16(std::string_view utf8, bool strict, std::wstring& out) {
  const DWORD flags = strict ? MB_ERR_INVALID_CHARS : 0;
  const int length = static_cast<int>(utf8.size());
  const int needed = MultiByteToWideChar(CP_UTF8, flags, utf8.data(), length, nullptr, 0);
  if (needed <= 0) return false;
  out.assign(static_cast<std::size_t>(needed), L'\0');
  return MultiByteToWideChar(CP_UTF8, flags, utf8.data(), length, out.data(), needed) == needed;
}

bool utf16_to_utf8(std::wstring_view utf16, bool strict, std::string& out) {
  const DWORD flags = strict ? WC_ERR_INVALID_CHARS : 0;
  const int length = static_cast<int>(utf16.size());
  const int needed =
      WideCharToMultiByte(CP_UTF8, flags, utf16.data(), length, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return false;
  out.assign(static_cast<std::size_t>(needed), '\0');
  return WideCharToMultiByte(CP_UTF8, flags, utf16.data(), length, out.data(), needed, nullptr,
                             nullptr) == needed;
}

}  // namespace detail

std::wstring fold_path_case(std::wstring_view text) {
  if (text.empty()) return {};
  if (text.size() > detail::kMaxTextUnits) detail::throw_text_too_long();
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
