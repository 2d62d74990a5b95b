// Text conversions on POSIX systems. There is no platform UTF-16 codec here,
// so the conversions follow the Unicode well-formedness rules by hand; wide
// strings carry UTF-16 code units, one per wchar_t.
#include <climits>
#include <cstddef>

#include "core/error.h"
#include "core/text.h"

namespace kaldren::patcher {
namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr std::size_t kMaxUnits = INT_MAX;

[[noreturn]] void throw_too_long() {
  throw PatchError(ErrorCategory::internal, "Text is too long to convert");
}

struct Decoded {
  char32_t code_point;
  std::size_t length;  // units consumed; on error, the maximal ill-formed subpart
  bool valid;
};

// One UTF-8 sequence starting at `at` (Unicode's table of well-formed byte
// sequences: no overlongs, no surrogates, nothing above U+10FFFF).
Decoded decode_utf8(std::string_view text, std::size_t at) {
  const unsigned lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return {lead, 1, true};
  std::size_t trailing = 0;
  char32_t code_point = 0;
  unsigned low = 0x80;
  unsigned high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    trailing = 1;
    code_point = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    trailing = 2;
    code_point = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    trailing = 3;
    code_point = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return {0, 1, false};
  }
  std::size_t length = 1;
  for (std::size_t i = 0; i < trailing; ++i) {
    if (at + length >= text.size()) return {0, length, false};
    const unsigned byte = static_cast<unsigned char>(text[at + length]);
    if (byte < low || byte > high) return {0, length, false};
    low = 0x80;
    high = 0xBF;
    code_point = (code_point << 6) | (byte & 0x3F);
    ++length;
  }
  return {code_point, length, true};
}

// One code point from UTF-16 units starting at `at`; a unit outside 16 bits
// or an unpaired surrogate is ill-formed on its own.
Decoded decode_utf16(std::wstring_view text, std::size_t at) {
  const auto unit = static_cast<char32_t>(text[at]);
  if (unit > 0xFFFF) return {0, 1, false};
  if (unit < 0xD800 || unit > 0xDFFF) return {unit, 1, true};
  if (unit >= 0xDC00 || at + 1 >= text.size()) return {0, 1, false};
  const auto next = static_cast<char32_t>(text[at + 1]);
  if (next < 0xDC00 || next > 0xDFFF) return {0, 1, false};
  return {0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00), 2, true};
}

void append_utf16(std::wstring& out, char32_t code_point) {
  if (code_point < 0x10000) {
    out.push_back(static_cast<wchar_t>(code_point));
  } else {
    code_point -= 0x10000;
    out.push_back(static_cast<wchar_t>(0xD800 + (code_point >> 10)));
    out.push_back(static_cast<wchar_t>(0xDC00 + (code_point & 0x3FF)));
  }
}

void append_utf8(std::string& out, char32_t code_point) {
  if (code_point < 0x80) {
    out.push_back(static_cast<char>(code_point));
  } else if (code_point < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (code_point >> 6)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else if (code_point < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (code_point >> 12)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (code_point >> 18)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((code_point >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (code_point & 0x3F)));
  }
}

// Converts all of `text`; returns false at the first ill-formed sequence when
// strict, and substitutes U+FFFD for each one otherwise.
bool utf8_to_utf16(std::string_view text, bool strict, std::wstring& out) {
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const Decoded decoded = decode_utf8(text, at);
    if (!decoded.valid && strict) return false;
    append_utf16(out, decoded.valid ? decoded.code_point : kReplacement);
    at += decoded.length;
  }
  return true;
}

bool utf16_to_utf8(std::wstring_view text, bool strict, std::string& out) {
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const Decoded decoded = decode_utf16(text, at);
    if (!decoded.valid && strict) return false;
    append_utf8(out, decoded.valid ? decoded.code_point : kReplacement);
    at += decoded.length;
  }
  return true;
}

bool is_valid_utf8(std::string_view text) {
  for (std::size_t at = 0; at < text.size();) {
    const Decoded decoded = decode_utf8(text, at);
    if (!decoded.valid) return false;
    at += decoded.length;
  }
  return true;
}

struct CasePair {
  char16_t lower;
  char16_t upper;
};

// Latin Extended-B letters outside its regular upper/lower pairs.
constexpr CasePair kLatinExtendedBIrregular[] = {
    {0x180, 0x243}, {0x183, 0x182}, {0x185, 0x184},  {0x188, 0x187},  {0x18C, 0x18B},
    {0x192, 0x191}, {0x195, 0x1F6}, {0x199, 0x198},  {0x19A, 0x23D},  {0x19E, 0x220},
    {0x1A1, 0x1A0}, {0x1A3, 0x1A2}, {0x1A5, 0x1A4},  {0x1A8, 0x1A7},  {0x1AD, 0x1AC},
    {0x1B0, 0x1AF}, {0x1B4, 0x1B3}, {0x1B6, 0x1B5},  {0x1B9, 0x1B8},  {0x1BD, 0x1BC},
    {0x1BF, 0x1F7}, {0x1C5, 0x1C4}, {0x1C6, 0x1C4},  {0x1C8, 0x1C7},  {0x1C9, 0x1C7},
    {0x1CB, 0x1CA}, {0x1CC, 0x1CA}, {0x1DD, 0x18E},  {0x1F2, 0x1F1},  {0x1F3, 0x1F1},
    {0x1F5, 0x1F4}, {0x23C, 0x23B}, {0x23F, 0x2C7E}, {0x240, 0x2C7F}, {0x242, 0x241},
};

// Simple (one unit to one unit) upper case for the scripts game paths use in
// practice: Latin-1, Latin Extended-A and -B, Greek and Cyrillic. Letters whose upper
// case takes more than one unit (such as U+00DF) stay as they are.
char32_t simple_upper(char32_t c) {
  if (c < 0x80) return (c >= 'a' && c <= 'z') ? c - 0x20 : c;
  if (c < 0x100) {
    if (c == 0xB5) return 0x39C;
    if (c == 0xFF) return 0x178;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return c - 0x20;
    return c;
  }
  if (c < 0x250) {
    if (c == 0x131) return 'I';
    if (c == 0x17F) return 'S';
    for (const auto& [lower, upper] : kLatinExtendedBIrregular) {
      if (c == lower) return upper;
    }
    const bool lower_is_odd = (c >= 0x100 && c <= 0x137) || (c >= 0x14A && c <= 0x177) ||
                              (c >= 0x1DE && c <= 0x1EF) || (c >= 0x1F8 && c <= 0x21F) ||
                              (c >= 0x222 && c <= 0x233) || (c >= 0x246 && c <= 0x24F);
    const bool lower_is_even =
        (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E) || (c >= 0x1CD && c <= 0x1DC);
    if (lower_is_odd && (c & 1) != 0) return c - 1;
    if (lower_is_even && (c & 1) == 0) return c - 1;
    return c;
  }
  if (c >= 0x345 && c < 0x400) {
    switch (c) {
      case 0x345: return 0x399;
      case 0x371:
      case 0x373:
      case 0x377: return c - 1;
      case 0x37B:
      case 0x37C:
      case 0x37D: return c + 0x82;
      case 0x3AC: return 0x386;
      case 0x3C2: return 0x3A3;
      case 0x3CC: return 0x38C;
      case 0x3D0: return 0x392;
      case 0x3D1: return 0x398;
      case 0x3D5: return 0x3A6;
      case 0x3D6: return 0x3A0;
      case 0x3D7: return 0x3CF;
      case 0x3F0: return 0x39A;
      case 0x3F1: return 0x3A1;
      case 0x3F2: return 0x3F9;
      case 0x3F3: return 0x37F;
      case 0x3F5: return 0x395;
      case 0x3F8:
      case 0x3FB: return c - 1;
      default: break;
    }
    if (c >= 0x3AD && c <= 0x3AF) return c - 0x25;
    if (c >= 0x3B1 && c <= 0x3CB) return c - 0x20;
    if (c >= 0x3CD && c <= 0x3CE) return c - 0x3F;
    if (c >= 0x3D9 && c <= 0x3EF && (c & 1) != 0) return c - 1;
    return c;
  }
  if (c >= 0x400 && c < 0x530) {
    if (c >= 0x430 && c <= 0x44F) return c - 0x20;
    if (c >= 0x450 && c <= 0x45F) return c - 0x50;
    if (c == 0x4CF) return 0x4C0;
    const bool lower_is_odd =
        (c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F);
    if (lower_is_odd && (c & 1) != 0) return c - 1;
    if (c >= 0x4C1 && c <= 0x4CE && (c & 1) == 0) return c - 1;
    return c;
  }
  return c;
}

}  // namespace

std::wstring to_utf16(std::string_view utf8) {
  if (utf8.empty()) return {};
  if (utf8.size() > kMaxUnits) throw_too_long();
  std::wstring result;
  if (!utf8_to_utf16(utf8, true, result)) {
    throw PatchError(ErrorCategory::configuration, "Text is not valid UTF-8");
  }
  return result;
}

std::string to_utf8(std::wstring_view utf16) {
  if (utf16.empty()) return {};
  if (utf16.size() > kMaxUnits) throw_too_long();
  std::string result;
  if (!utf16_to_utf8(utf16, true, result)) {
    throw PatchError(ErrorCategory::configuration, "Text is not valid UTF-16");
  }
  return result;
}

std::wstring to_utf16_lenient(std::string_view utf8) noexcept {
  if (utf8.empty() || utf8.size() > kMaxUnits) return {};
  try {
    std::wstring result;
    utf8_to_utf16(utf8, false, result);
    return result;
  } catch (...) {
    return {};
  }
}

std::string to_utf8_lenient(std::wstring_view utf16) noexcept {
  if (utf16.empty() || utf16.size() > kMaxUnits) return {};
  try {
    std::string result;
    utf16_to_utf8(utf16, false, result);
    return result;
  } catch (...) {
    return {};
  }
}

std::wstring fold_path_case(std::wstring_view text) {
  if (text.empty()) return {};
  if (text.size() > kMaxUnits) throw_too_long();
  std::wstring folded(text);
  for (wchar_t& unit : folded) {
    const auto c = static_cast<char32_t>(unit);
    if (c <= 0xFFFF) unit = static_cast<wchar_t>(simple_upper(c));
  }
  return folded;
}

bool equal_ignoring_case(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && fold_path_case(a) == fold_path_case(b);
}

std::filesystem::path path_from_utf8(std::string_view utf8) {
  if (utf8.size() > kMaxUnits) throw_too_long();
  if (!is_valid_utf8(utf8)) {
    throw PatchError(ErrorCategory::configuration, "Text is not valid UTF-8");
  }
  return std::filesystem::path(std::string(utf8));
}

}  // namespace kaldren::patcher
