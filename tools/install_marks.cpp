#include "tools/install_marks.h"

#include <fmt/format.h>

#include "tools/signing_key.h"

namespace kaldren::patcher::publish {
namespace {

// Glob match where '*' never crosses a '/'.
bool matches(std::string_view pattern, std::string_view path) {
  if (pattern.empty()) return path.empty();
  if (pattern[0] == '*') {
    for (std::size_t skip = 0;; ++skip) {
      if (matches(pattern.substr(1), path.substr(skip))) return true;
      if (skip == path.size() || path[skip] == '/') return false;
    }
  }
  return !path.empty() && pattern[0] == path[0] && matches(pattern.substr(1), path.substr(1));
}

}  // namespace

std::vector<bool> mark_install_if_missing(const std::vector<ClientFile>& files,
                                          const std::vector<std::string>& patterns, const std::string& executable) {
  std::vector<bool> marks(files.size(), false);
  for (const std::string& pattern : patterns) {
    bool matched = false;
    for (std::size_t i = 0; i < files.size(); ++i) {
      if (!matches(pattern, files[i].path)) continue;
      if (files[i].path == executable) {
        throw ToolError(fmt::format("--install-if-missing {} takes in the game executable {}, which updates must "
                                    "be able to replace",
                                    pattern, executable));
      }
      marks[i] = matched = true;
    }
    if (!matched) throw ToolError(fmt::format("--install-if-missing {} matches no file of the client", pattern));
  }
  return marks;
}

}  // namespace kaldren::patcher::publish
