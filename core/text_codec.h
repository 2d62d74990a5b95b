// The platform's UTF-8/UTF-16 codec under the conversions of core/text.h (only
// core's own files include this). Each converts all of `text` into `out`: strict, it
// returns false at the first ill-formed sequence; lenient, ill-formed sequences
// become U+FFFD, and false means the platform could not convert at all.
#pragma once

#include <climits>
#include <cstddef>
#include <string>
#include <string_view>

namespace kaldren::patcher::detail {

// The longest text either direction converts (the platform's calls count in int).
inline constexpr std::size_t kMaxTextUnits = INT_MAX;

bool utf8_to_utf16(std::string_view text, bool strict, std::wstring& out);
bool utf16_to_utf8(std::wstring_view text, bool strict, std::string& out);

[[noreturn]] void throw_text_too_long();

}  // namespace kaldren::patcher::detail
