// Removing folders: whole trees, emptied parents, and whatever stands where the update
// installs a file. Links and junctions are removed, never followed.
#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "system/file_operations.h"
#include "system/file_policy.h"

namespace kaldren::patcher {
namespace {

// Files first, then sub-folders (links among them only unlinked); errors are ignored.
void remove_tree_quietly(FileSystem& fs, const std::filesystem::path& folder) {
  const SystemCode error = fs.remove_folder(folder);
  if (error != system_code::folder_not_empty) return;
  // A link or junction is never "not empty": remove_folder unlinks it above.
  FileStatus status;
  if (file_policy::status_of(fs, folder, status) && status.reparse_point) return;
  const FolderContents contents = fs.list(folder);
  for (const FolderEntry& entry : contents.entries) {
    if (entry.status.folder) continue;
    const std::filesystem::path file = folder / entry.name;
    if (entry.status.read_only) fs.set_read_only(file, false);
    fs.remove_file(file);
  }
  for (const FolderEntry& entry : contents.entries) {
    if (entry.status.folder) remove_tree_quietly(fs, folder / entry.name);
  }
  fs.remove_folder(folder);
}

[[noreturn]] void throw_folder_in_the_way(const std::filesystem::path& path) {
  throw PatchError(ErrorCategory::io, display_path(path) +
                                          " is a folder with files in it, but the update installs a file there. "
                                          "Move the folder away and retry.");
}

}  // namespace

void remove_tree(FileSystem& fs, const std::filesystem::path& folder) {
  try {
    remove_tree_quietly(fs, folder);
  } catch (...) {
    // Clean-up never fails a run; what cannot be removed stays.
  }
}

void remove_empty_parents(FileSystem& fs, const std::filesystem::path& root, const std::filesystem::path& path) {
  try {
    const std::filesystem::path normal_root = file_policy::normal_path(root);
    std::filesystem::path folder = file_policy::normal_path(path).parent_path();
    while (!folder.empty() && folder != normal_root && folder.native().size() > normal_root.native().size()) {
      FileStatus status;
      if (!file_policy::status_of(fs, folder, status) || status.reparse_point) return;
      if (fs.remove_folder(folder) != 0) return;  // Not empty.
      std::filesystem::path parent = folder.parent_path();
      if (parent == folder) return;
      folder = std::move(parent);
    }
  } catch (...) {
    // Clean-up never fails a run.
  }
}

void make_room_for_file(FileSystem& fs, const std::filesystem::path& root, const std::filesystem::path& target) {
  const std::filesystem::path normal_root = file_policy::normal_path(root);
  const std::filesystem::path relative =
      file_policy::without_long_path_prefix(file_policy::normal_path(target))
          .lexically_relative(file_policy::without_long_path_prefix(normal_root));
  // The root itself, or a target outside it, has nothing to clear.
  if (relative.empty() || relative == "." || *relative.begin() == "..") return;
  const std::vector<std::filesystem::path> elements(relative.begin(), relative.end());
  std::filesystem::path current = normal_root;
  for (std::size_t index = 0; index < elements.size(); ++index) {
    current /= elements[index];
    FileStatus status;
    if (!file_policy::status_of(fs, current, status)) return;  // Nothing further can be in the way.
    if (index + 1 < elements.size()) {
      if (status.folder) continue;  // Links and junctions to folders serve as folders too.
      log(LogLevel::info, "Removing {} to make room for a folder", display_path(current));
      delete_file(fs, current);
      return;
    }
    if (!status.folder) return;  // A file here is overwritten by the install itself.
    if (status.reparse_point) throw_folder_in_the_way(current);
    // Other failures are left to the install, which reports the folder in its way.
    if (fs.remove_folder(current) == system_code::folder_not_empty) throw_folder_in_the_way(current);
  }
}

}  // namespace kaldren::patcher
