// Which client files are installed only when missing (settings the game rewrites),
// from the publisher's paths and patterns.
#pragma once

#include <string>
#include <vector>

#include "tools/client_folder.h"

namespace kaldren::patcher::publish {

// True for each file of `files` that a pattern matches: a path, or a pattern in which
// * stands for any run of characters but '/'. ToolError when a pattern matches no file
// (a typo would otherwise let updates replace the players' settings) or matches the
// game executable, which updates must be able to replace.
std::vector<bool> mark_install_if_missing(const std::vector<ClientFile>& files,
                                          const std::vector<std::string>& patterns, const std::string& executable);

}  // namespace kaldren::patcher::publish
