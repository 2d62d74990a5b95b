// Removing folders on Windows: whole trees, emptied parents, and whatever stands
// where the update installs a file. Links and junctions are removed, never followed.
#include <windows.h>

#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "engine/file_operations.h"
#include "engine/file_support_win.h"

namespace kaldren::patcher {

using file_support::display_path;

namespace {

bool has(DWORD attributes, DWORD flag) {
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & flag) != 0;
}

void remove_tree_quietly(const std::filesystem::path& folder);

// Files first, then sub-folders (links among them only unlinked); errors are ignored.
void remove_contents(const std::filesystem::path& folder) {
  std::vector<std::filesystem::path> files;
  std::vector<std::filesystem::path> folders;
  const std::filesystem::path pattern = folder / L"*";
  WIN32_FIND_DATAW entry{};
  FindHandle search(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry,
                                     FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
  if (!search) return;
  do {
    const std::wstring_view name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    if (has(entry.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY)) {
      folders.push_back(folder / name);
    } else {
      files.push_back(folder / name);
    }
  } while (FindNextFileW(search.get(), &entry));
  search.reset();
  for (const std::filesystem::path& file : files) {
    file_support::clear_read_only(file);
    DeleteFileW(file.c_str());
  }
  for (const std::filesystem::path& sub_folder : folders) remove_tree_quietly(sub_folder);
}

void remove_tree_quietly(const std::filesystem::path& folder) {
  if (RemoveDirectoryW(folder.c_str())) return;
  const DWORD error = GetLastError();
  if (error != ERROR_DIR_NOT_EMPTY) return;
  // A link or junction is never "not empty": RemoveDirectoryW unlinks it above.
  if (has(file_support::attributes_of(folder), FILE_ATTRIBUTE_REPARSE_POINT)) return;
  remove_contents(folder);
  RemoveDirectoryW(folder.c_str());
}

// "\\?\C:\..." and "C:\..." name the same place; relating them needs one form.
std::filesystem::path without_long_path_prefix(const std::filesystem::path& path) {
  const std::wstring& text = path.native();
  const bool prefixed = text.size() >= 6 && text.compare(0, 4, L"\\\\?\\") == 0 &&
                        ((text[4] >= L'A' && text[4] <= L'Z') ||
                         (text[4] >= L'a' && text[4] <= L'z')) &&
                        text[5] == L':';
  return prefixed ? std::filesystem::path(text.substr(4)) : path;
}

[[noreturn]] void throw_folder_in_the_way(const std::filesystem::path& path) {
  throw PatchError(ErrorCategory::io,
                   display_path(path) +
                       " is a folder with files in it, but the update installs a file there. "
                       "Move the folder away and retry.");
}

}  // namespace

void remove_tree(const std::filesystem::path& folder) {
  try {
    remove_tree_quietly(folder);
  } catch (...) {
    // Clean-up never fails a run; what cannot be removed stays.
  }
}

void remove_empty_parents(const std::filesystem::path& root, const std::filesystem::path& path) {
  try {
    const std::filesystem::path normal_root = file_support::normal_path(root);
    std::filesystem::path folder = file_support::normal_path(path).parent_path();
    while (!folder.empty() && folder != normal_root &&
           folder.native().size() > normal_root.native().size()) {
      const DWORD attributes = file_support::attributes_of(folder);
      if (attributes == INVALID_FILE_ATTRIBUTES || has(attributes, FILE_ATTRIBUTE_REPARSE_POINT)) {
        return;
      }
      if (!RemoveDirectoryW(folder.c_str())) return;  // Not empty.
      std::filesystem::path parent = folder.parent_path();
      if (parent == folder) return;
      folder = std::move(parent);
    }
  } catch (...) {
    // Clean-up never fails a run.
  }
}

void make_room_for_file(const std::filesystem::path& root, const std::filesystem::path& target) {
  const std::filesystem::path normal_root = file_support::normal_path(root);
  const std::filesystem::path relative =
      without_long_path_prefix(file_support::normal_path(target))
          .lexically_relative(without_long_path_prefix(normal_root));
  // The root itself, or a target outside it, has nothing to clear.
  if (relative.empty() || relative == L"." || *relative.begin() == L"..") return;
  const std::vector<std::filesystem::path> elements(relative.begin(), relative.end());
  std::filesystem::path current = normal_root;
  for (std::size_t index = 0; index < elements.size(); ++index) {
    current /= elements[index];
    const DWORD attributes = file_support::attributes_of(current);
    if (attributes == INVALID_FILE_ATTRIBUTES) return;  // Nothing further can be in the way.
    const bool is_folder = has(attributes, FILE_ATTRIBUTE_DIRECTORY);
    if (index + 1 < elements.size()) {
      if (is_folder) continue;  // Links and junctions to folders serve as folders too.
      log(LogLevel::info, "Removing {} to make room for a folder", display_path(current));
      delete_file(current);
      return;
    }
    if (!is_folder) return;  // A file here is overwritten by the install itself.
    if (has(attributes, FILE_ATTRIBUTE_REPARSE_POINT)) throw_folder_in_the_way(current);
    if (!RemoveDirectoryW(current.c_str())) {
      const DWORD error = GetLastError();
      // Other failures are left to the install, which reports the folder in its way.
      if (error == ERROR_DIR_NOT_EMPTY) throw_folder_in_the_way(current);
    }
  }
}

}  // namespace kaldren::patcher
