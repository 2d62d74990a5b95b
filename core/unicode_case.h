// Upper case by Unicode's case pairs, the way Windows' invariant locale upper-cases,
// from a table generated at build time from the machine's UnicodeData.txt; and the code
// points whose upper case not every launcher shares.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kaldren::patcher {

// The code point's simple upper case when the two form a case pair (the upper case
// lower-cases back to it); the code point itself otherwise. Never leaves its plane.
char32_t case_pair_upper(char32_t code_point) noexcept;

// UTF-16 text with every code point upper-cased by case_pair_upper; same length, lone
// surrogates and units above 16 bits kept.
std::wstring upper_case_pairs(std::wstring_view text);

// False for code points launchers may upper-case differently: unassigned in this
// Unicode version, or with a simple upper case that is no case pair (such as U+0131).
bool has_shared_upper_case(char32_t code_point) noexcept;

// The first code point of UTF-16 text without a shared upper case, if any.
std::optional<char32_t> first_unshared_upper_case(std::wstring_view text) noexcept;

}  // namespace kaldren::patcher
