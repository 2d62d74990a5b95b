// Keys of a settings file in the INI form, read from its bytes the way Windows' profile
// functions read them, but alike on every system and without their limits: a UTF-8
// byte-order mark before the first section is skipped (Windows' own reader takes it as
// part of the first line and loses that section), and values of any length are whole.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace kaldren::patcher {

// The text of the file: UTF-16 after a UTF-16 byte-order mark (either order), otherwise
// UTF-8 with or without its mark; bytes that are not UTF-8 become U+FFFD.
std::wstring decode_ini_text(std::string_view bytes);

// The value of the first `key` in the first section named `section` (both compared
// ignoring case, spaces and tabs around them ignored), without the spaces and tabs
// around it and without one pair of quotes enclosing it; nothing when there is none.
// Lines starting with ';' are comments.
std::optional<std::wstring> ini_value(std::wstring_view text, std::wstring_view section, std::wstring_view key);

}  // namespace kaldren::patcher
