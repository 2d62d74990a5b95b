// The message text of a code in a module's message table (Windows only): in US English
// where the table has it, otherwise in the language Windows picks for this user, so a
// Windows without English texts still says what went wrong. Empty when there is none.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

namespace kaldren::patcher {

// `module` null: the system's own table.
std::string module_message(HMODULE module, std::uint32_t code);

}  // namespace kaldren::patcher
