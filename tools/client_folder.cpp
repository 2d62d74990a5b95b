#include "tools/client_folder.h"

#include <algorithm>
#include <map>

#include <fmt/format.h>

#include "core/error.h"
#include "core/text.h"
#include "core/unicode_case.h"
#include "protocol/path_rule.h"
#include "tools/signing_key.h"

namespace kaldren::patcher::publish {
namespace {

constexpr std::uint64_t kMaxFileSize = 17179869184ull;  // what a launcher accepts per object
constexpr std::size_t kMaxFiles = 200000;
constexpr std::size_t kMaxProblemsShown = 20;

}  // namespace

std::vector<ClientFile> scan_client_folder(const std::filesystem::path& folder, const std::string& executable) {
  std::error_code error;
  if (!std::filesystem::is_directory(folder, error))
    throw ToolError(fmt::format("The client folder {} does not exist or is not a folder", folder.string()));

  std::vector<ClientFile> files;
  std::vector<std::string> problems;
  std::filesystem::recursive_directory_iterator it(folder, std::filesystem::directory_options::none, error);
  if (error) throw ToolError(fmt::format("Could not list {}: {}", folder.string(), error.message()));
  for (; it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (error) throw ToolError(fmt::format("Could not list {}: {}", folder.string(), error.message()));
    const auto& entry = *it;
    std::string relative = entry.path().lexically_relative(folder).generic_string();
    auto status = entry.symlink_status(error);
    if (error) throw ToolError(fmt::format("Could not inspect {}: {}", entry.path().string(), error.message()));
    if (std::filesystem::is_symlink(status)) {
      // A link would be published as whatever it points to today; make the publisher decide.
      problems.push_back(fmt::format("{}: is a symbolic link; publish real files only", relative));
      if (std::filesystem::is_directory(entry.path(), error)) it.disable_recursion_pending();
      continue;
    }
    if (std::filesystem::is_directory(status)) continue;
    if (!std::filesystem::is_regular_file(status)) {
      problems.push_back(fmt::format("{}: is not a regular file", relative));
      continue;
    }
    ClientFile file{relative, entry.path(), static_cast<std::uint64_t>(entry.file_size(error))};
    if (error) throw ToolError(fmt::format("Could not inspect {}: {}", entry.path().string(), error.message()));
    if (!is_safe_path(file.path))
      problems.push_back(fmt::format("{}: the launcher refuses this file name (reserved, too long, "
                                     "or a character Windows does not allow)", file.path));
    if (file.size > kMaxFileSize)
      problems.push_back(fmt::format("{}: is larger than the patch protocol allows (16 GiB)", file.path));
    files.push_back(std::move(file));
  }

  std::sort(files.begin(), files.end(), [](const ClientFile& a, const ClientFile& b) { return a.path < b.path; });

  if (files.size() > kMaxFiles)
    problems.push_back(fmt::format("the client has {} files; the patch protocol allows {}", files.size(), kMaxFiles));

  // Windows sees names that differ only in letter case as one file.
  std::map<std::wstring, const std::string*> folded;
  for (const auto& file : files) {
    std::wstring key;
    try {
      key = to_utf16(file.path);
    } catch (const PatchError&) {
      continue;  // already reported as an unsafe name
    }
    // Launchers whose upper case of one character differs would disagree about which
    // names are twins, so only names every launcher folds alike are published.
    if (auto code_point = first_unshared_upper_case(key))
      problems.push_back(fmt::format("{}: holds U+{:04X}, which launchers may upper-case differently; rename it",
                                     file.path, static_cast<std::uint32_t>(*code_point)));
    key = fold_path_case(key);
    auto [slot, inserted] = folded.emplace(std::move(key), &file.path);
    if (!inserted)
      problems.push_back(fmt::format("{} and {}: differ only in letter case; Windows cannot hold both",
                                     *slot->second, file.path));
  }
  // A file whose name is, but for letter case, a folder of another file cannot be
  // installed either: Windows would need a file and a folder of one name.
  for (const auto& file : files) {
    for (std::size_t slash = file.path.find('/'); slash != std::string::npos; slash = file.path.find('/', slash + 1)) {
      std::wstring key;
      try {
        key = fold_path_case(to_utf16(std::string_view(file.path).substr(0, slash)));
      } catch (const PatchError&) {
        break;
      }
      if (auto clash = folded.find(key); clash != folded.end())
        problems.push_back(fmt::format("{} and {}: a file and a folder of the same name", *clash->second, file.path));
    }
  }

  bool has_executable = std::any_of(files.begin(), files.end(), [&](const ClientFile& f) { return f.path == executable; });
  if (!is_safe_path(executable))
    problems.push_back(fmt::format("the executable {} is not a file name the launcher accepts", executable));
  else if (!has_executable)
    problems.push_back(fmt::format("the executable {} is not in the client folder", executable));

  if (!problems.empty()) {
    std::string message = fmt::format("The client folder cannot be published ({} problem{}):",
                                      problems.size(), problems.size() == 1 ? "" : "s");
    for (std::size_t i = 0; i < problems.size() && i < kMaxProblemsShown; ++i) message += "\n  " + problems[i];
    if (problems.size() > kMaxProblemsShown)
      message += fmt::format("\n  ... and {} more", problems.size() - kMaxProblemsShown);
    throw ToolError(message);
  }
  return files;
}

}  // namespace kaldren::patcher::publish
