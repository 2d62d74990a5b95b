// Who holds files open, asked of the Restart Manager: "Name (pid N)" per program, in
// the system's order; empty when it cannot tell (Wine answers no one). Windows only.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace kaldren::patcher {

std::vector<std::string> windows_programs_using(const std::vector<std::filesystem::path>& paths);

}  // namespace kaldren::patcher
