#include "config/ini_text.h"

#include "core/text.h"

namespace kaldren::patcher {
namespace {

bool is_blank(wchar_t c) { return c == L' ' || c == L'\t'; }

std::wstring_view trimmed(std::wstring_view text) {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

std::wstring utf16_of(std::string_view bytes, bool big_endian) {
  std::wstring text;
  text.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto first = static_cast<unsigned char>(bytes[i]);
    const auto second = static_cast<unsigned char>(bytes[i + 1]);
    text.push_back(static_cast<wchar_t>(big_endian ? first << 8 | second : second << 8 | first));
  }
  return text;
}

}  // namespace

std::wstring decode_ini_text(std::string_view bytes) {
  if (bytes.starts_with("\xFF\xFE")) return utf16_of(bytes.substr(2), false);
  if (bytes.starts_with("\xFE\xFF")) return utf16_of(bytes.substr(2), true);
  if (bytes.starts_with("\xEF\xBB\xBF")) bytes.remove_prefix(3);
  return to_utf16_lenient(bytes);
}

std::optional<std::wstring> ini_value(std::wstring_view text, std::wstring_view section, std::wstring_view key) {
  // 0: before the section, 1: in it, 2: past it (only its first appearance counts).
  int place = 0;
  while (!text.empty() && place < 2) {
    const std::size_t end = text.find(L'\n');
    std::wstring_view line = text.substr(0, end);
    text.remove_prefix(end == std::wstring_view::npos ? text.size() : end + 1);
    if (!line.empty() && line.back() == L'\r') line.remove_suffix(1);
    line = trimmed(line);
    if (line.empty() || line.front() == L';') continue;
    if (line.front() == L'[') {
      const std::size_t close = line.rfind(L']');
      if (close == std::wstring_view::npos) continue;
      const bool named = equal_ignoring_case(trimmed(line.substr(1, close - 1)), section);
      if (place == 1) place = 2;
      else if (named) place = 1;
      continue;
    }
    const std::size_t equals = line.find(L'=');
    if (place != 1 || equals == std::wstring_view::npos || !equal_ignoring_case(trimmed(line.substr(0, equals)), key)) {
      continue;
    }
    std::wstring_view value = trimmed(line.substr(equals + 1));
    if (value.size() >= 2 && (value.front() == L'"' || value.front() == L'\'') && value.back() == value.front()) {
      value = value.substr(1, value.size() - 2);
    }
    return std::wstring(value);
  }
  return std::nullopt;
}

}  // namespace kaldren::patcher
