// What the file operations share: the retry policy for locked files, how a failure
// code becomes a PatchError, and the lexical path forms used to relate paths.
#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

#include "system/file_system.h"

namespace kaldren::patcher::file_policy {

// True for the codes a scanner or a closing game causes for a while: 5, 32, 33, 1224.
bool is_lock_code(SystemCode code) noexcept;

// Runs `attempt` up to 25 times, pausing 200 ms after each failure with a lock code;
// any other code ends at once. Logs "<path> is locked; retrying" at the first locked
// failure only. Returns 0 or the last code.
SystemCode retry_while_locked(FileSystem& fs, const std::filesystem::path& path,
                              const std::function<SystemCode()>& attempt);

// "<context>: <text> (Win32 error <code>)" after the retries: file_in_use for a lock
// code (access denied included), otherwise the category of the code. For a lock code,
// "; in use by <program>, ..." follows when the system names who holds `paths`.
[[noreturn]] void throw_after_retries(FileSystem& fs, std::string_view context, SystemCode code,
                                      const std::vector<std::filesystem::path>& paths);

// "<phrase><path>: <text> (Win32 error <code>)", category by code.
[[noreturn]] void throw_by_code(std::string_view phrase, const std::filesystem::path& path, SystemCode code);

// The status, or nothing when the name is missing or cannot be queried.
bool status_of(FileSystem& fs, const std::filesystem::path& path, FileStatus& status);

// Clears a read-only attribute; does nothing to missing files.
void clear_read_only(FileSystem& fs, const std::filesystem::path& path);

// lexically_normal that keeps a "\\?\" prefix intact (the library would fold its
// leading separators together and so change the path's meaning).
std::filesystem::path normal_path(const std::filesystem::path& path);

// "\\?\C:\..." and "C:\..." name the same place; relating them needs one form.
std::filesystem::path without_long_path_prefix(const std::filesystem::path& path);

}  // namespace kaldren::patcher::file_policy
