// lanternix-update: the update engine without a window, for publishers' QA pipelines,
// server operators, end-to-end tests and benchmarks. Same options, patcher.ini, log,
// folder lock and built-in release key as the launcher.
#pragma once

#include <string>
#include <vector>

#include "system/file_system.h"

namespace kaldren::patcher {

// Runs the tool with its arguments (without the program name) over `fs`; returns the
// exit code: 0 success, 2 bad usage, 10 + the error category otherwise.
int update_console_main(const std::vector<std::wstring>& arguments, FileSystem& fs);

}  // namespace kaldren::patcher
