#include "core/unicode_case.h"

#include <algorithm>
#include <array>
#include <iterator>

namespace kaldren::patcher {
namespace {

struct CasePair {
  char32_t code_point;
  char32_t upper;
};

struct CodeRange {
  char32_t first;
  char32_t last;
};

// kCasePairs (sorted by code point) and kUnsharedUpperCase (sorted, disjoint).
#include "unicode_case_table.inc"

using BmpTable = std::array<char16_t, 0x10000>;

// Every path unit goes through here: a direct table for the BMP, built once.
const BmpTable& bmp_upper() {
  static const BmpTable table = [] {
    BmpTable built{};
    for (std::size_t unit = 0; unit < built.size(); ++unit) built[unit] = static_cast<char16_t>(unit);
    for (const CasePair& pair : kCasePairs) {
      if (pair.code_point <= 0xFFFF) built[pair.code_point] = static_cast<char16_t>(pair.upper);
    }
    return built;
  }();
  return table;
}

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The code point at `at` and its length in units; a lone surrogate stands for itself.
std::pair<char32_t, std::size_t> code_point_at(std::wstring_view text, std::size_t at) {
  const auto unit = static_cast<char32_t>(text[at]);
  if (is_high_surrogate(unit) && at + 1 < text.size() && is_low_surrogate(static_cast<char32_t>(text[at + 1]))) {
    const auto low = static_cast<char32_t>(text[at + 1]);
    return {0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00), 2};
  }
  return {unit, 1};
}

}  // namespace

char32_t case_pair_upper(char32_t code_point) noexcept {
  if (code_point <= 0xFFFF) return bmp_upper()[code_point];
  const auto found = std::lower_bound(std::begin(kCasePairs), std::end(kCasePairs), code_point,
                                      [](const CasePair& pair, char32_t value) { return pair.code_point < value; });
  return found != std::end(kCasePairs) && found->code_point == code_point ? found->upper : code_point;
}

std::wstring upper_case_pairs(std::wstring_view text) {
  std::wstring upper(text);
  for (std::size_t at = 0; at < upper.size();) {
    const auto [code_point, length] = code_point_at(upper, at);
    if (length == 2) {
      const char32_t mapped = case_pair_upper(code_point) - 0x10000;
      upper[at] = static_cast<wchar_t>(0xD800 + (mapped >> 10));
      upper[at + 1] = static_cast<wchar_t>(0xDC00 + (mapped & 0x3FF));
    } else if (code_point <= 0xFFFF) {
      upper[at] = static_cast<wchar_t>(bmp_upper()[code_point]);
    }
    at += length;
  }
  return upper;
}

bool has_shared_upper_case(char32_t code_point) noexcept {
  if (code_point > 0x10FFFF) return false;
  const auto after = std::upper_bound(std::begin(kUnsharedUpperCase), std::end(kUnsharedUpperCase), code_point,
                                      [](char32_t value, const CodeRange& range) { return value < range.first; });
  return after == std::begin(kUnsharedUpperCase) || std::prev(after)->last < code_point;
}

std::optional<char32_t> first_unshared_upper_case(std::wstring_view text) noexcept {
  for (std::size_t at = 0; at < text.size();) {
    const auto [code_point, length] = code_point_at(text, at);
    if (!has_shared_upper_case(code_point)) return code_point;
    at += length;
  }
  return std::nullopt;
}

}  // namespace kaldren::patcher
