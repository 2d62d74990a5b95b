// Helpers shared by the Windows file operations: path text for messages, folder
// creation and the retry policy for locked files.
#pragma once

#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>

#include "core/error.h"

namespace kaldren::patcher::file_support {

// The path as UTF-8 for messages and the log (lenient: never fails).
std::string display_path(const std::filesystem::path& path);

// lexically_normal that keeps a "\\?\" prefix intact (the library would fold its
// leading separators together and so change the path's meaning).
std::filesystem::path normal_path(const std::filesystem::path& path);

// GetFileAttributesW: INVALID_FILE_ATTRIBUTES when missing or unreadable.
DWORD attributes_of(const std::filesystem::path& path) noexcept;

// Clears a read-only attribute, keeping the others; does nothing to missing files.
void clear_read_only(const std::filesystem::path& path) noexcept;

// Creates the folder and every missing folder above it. Returns 0 or the Win32 code.
DWORD create_folders(const std::filesystem::path& folder);

// The system's message text for a Win32 code, without trailing full stop or line end.
std::string system_message(DWORD code);

// Runs `attempt` (which returns 0 or the Win32 code of its failure) up to 25 times,
// pausing 200 ms after each failure with a lock code (5, 32, 33, 1224); any other code
// ends at once. Logs "<path> is locked; retrying" at the first locked failure only.
// Returns 0 or the last code.
DWORD retry_while_locked(const std::filesystem::path& path, const std::function<DWORD()>& attempt);

// Throws "<context>: <text> (Win32 error <code>)" after the retries: file_in_use for
// a lock code (access denied included), otherwise the category of the code.
[[noreturn]] void throw_after_retries(std::string_view context, DWORD code);

}  // namespace kaldren::patcher::file_support
