#include "support/temp_folder.h"

#include <fstream>
#include <random>
#include <stdexcept>

#include "system/file_operations.h"
#include "system/memory_file_system.h"

namespace kaldren::patcher::test {
namespace {

// Random names: test processes of both builds run side by side.
std::string fresh_name() {
  static std::mt19937_64 names{std::random_device{}()};
  return "lanternix-test-" + std::to_string(names());
}

}  // namespace

TempFolder::TempFolder() : path_(std::filesystem::temp_directory_path() / fresh_name()) {
  std::filesystem::create_directories(path_);
}

TempFolder::TempFolder(FileSystem& disk)
    : disk_(&disk),
      path_(dynamic_cast<MemoryFileSystem*>(&disk) != nullptr ? std::filesystem::path("/scratch") / fresh_name()
                                                              : std::filesystem::temp_directory_path() / fresh_name()) {
  if (create_folders(disk, path_) != 0) throw std::runtime_error("could not create " + display_path(path_));
}

TempFolder::~TempFolder() {
  if (disk_ != nullptr) {
    remove_tree(*disk_, path_);
    return;
  }
  std::error_code ignored;
  // Read-only files a test left behind would stop the removal on Windows.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempFolder::operator/(const std::filesystem::path& relative) const {
  std::filesystem::path native = relative;
  return path_ / native.make_preferred();
}

std::filesystem::path TempFolder::write(const std::filesystem::path& relative, std::string_view bytes) const {
  const std::filesystem::path file = *this / relative;
  if (disk_ != nullptr) {
    write_file_atomic(*disk_, file, bytes);
    return file;
  }
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return file;
}

std::filesystem::path TempFolder::make_folder(const std::filesystem::path& relative) const {
  const std::filesystem::path folder = *this / relative;
  if (disk_ != nullptr) {
    create_folders(*disk_, folder);
  } else {
    std::filesystem::create_directories(folder);
  }
  return folder;
}

}  // namespace kaldren::patcher::test
