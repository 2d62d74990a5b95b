// Text conversions on POSIX systems. There is no platform UTF-16 codec here,
// so the conversions follow the Unicode well-formedness rules by hand; wide
// strings carry UTF-16 code units, one per wchar_t.
#include <cstddef>

#include "core/error.h"
#include "core/text.h"
#include "core/text_codec.h"
#include "core/unicode_case.h"

namespace kaldren::patcher {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

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

template <typename In, typename Out>
bool transcode(In text, bool strict, Out& out, Decoded (*decode)(In, std::size_t), void (*append)(Out&, char32_t)) {
  out.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const Decoded decoded = decode(text, at);
    if (!decoded.valid && strict) return false;
    append(out, decoded.valid ? decoded.code_point : kReplacement);
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

}  // namespace

namespace detail {

bool utf8_to_utf16(std::string_view text, bool strict, std::wstring& out) {
  return transcode(text, strict, out, decode_utf8, append_utf16);
}

bool utf16_to_utf8(std::wstring_view text, bool strict, std::string& out) {
  return transcode(text, strict, out, decode_utf16, append_utf8);
}

}  // namespace detail

std::wstring fold_path_case(std::wstring_view text) {
  if (text.empty()) return {};
  if (text.size() > detail::kMaxTextUnits) detail::throw_text_too_long();
  // The launcher folds with Windows' invariant upper case, which is Unicode's case pairs.
  return upper_case_pairs(text);
}

bool equal_ignoring_case(std::wstring_view a, std::wstring_view b) {
  return a.size() == b.size() && fold_path_case(a) == fold_path_case(b);
}

std::filesystem::path path_from_utf8(std::string_view utf8) {
  if (utf8.size() > detail::kMaxTextUnits) detail::throw_text_too_long();
  if (!is_valid_utf8(utf8)) {
    throw PatchError(ErrorCategory::configuration, "Text is not valid UTF-8");
  }
  return std::filesystem::path(std::string(utf8));
}

}  // namespace kaldren::patcher
