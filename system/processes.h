// Starting other programs (the game, a newer launcher, the uninstaller copy), opening
// web pages and folders, asking whether a program runs, and the one rule for Windows
// command lines. PatchError on failure; no operation retries.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/owned_handle.h"

namespace kaldren::patcher {

// The argument as it must stand on a command line for Windows to split it back out
// unchanged: as it is when it holds no space, tab, line feed, vertical tab or double
// quote and is not empty; otherwise quoted with the backslash rule.
std::wstring quote_argument(std::wstring_view argument);

// The quoted executable, then a space and each quoted argument.
std::wstring build_command_line(std::wstring_view executable, const std::vector<std::wstring>& arguments);

// Starts the executable (no search, no handle inheritance, the working folder given);
// logs "Started <path> (pid <n>)". Returns the owned process handle. PatchError io
// "<path> was not found" / "Could not start <path>" with the Windows error.
UniqueNullHandle start_process(const std::filesystem::path& executable, const std::vector<std::wstring>& arguments,
                               const std::filesystem::path& working_folder);

// True when a process whose image is exactly this file runs (a program of the same name
// elsewhere does not count; processes this user cannot query are skipped). PatchError
// internal "Could not list running programs" when no snapshot can be taken.
bool is_program_running(const std::filesystem::path& executable);

// Opens a web address, document or folder with its default program; PatchError io
// "Could not open <target>".
void open_with_shell(std::wstring_view target);

}  // namespace kaldren::patcher
