#include "support/temp_folder.h"

#include <fstream>
#include <random>
#include <string>

namespace kaldren::patcher::test {

TempFolder::TempFolder() {
  // Random names: test processes of both builds run side by side.
  static std::mt19937_64 names{std::random_device{}()};
  path_ = std::filesystem::temp_directory_path() / ("lanternix-test-" + std::to_string(names()));
  std::filesystem::create_directories(path_);
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  // Read-only files a test left behind would stop the removal on Windows.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ignored);
       it != std::filesystem::recursive_directory_iterator(); it.increment(ignored)) {
    std::filesystem::permissions(it->path(), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add, ignored);
  }
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempFolder::write(const std::filesystem::path& relative, std::string_view bytes) const {
  const std::filesystem::path file = path_ / relative;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return file;
}

std::filesystem::path TempFolder::make_folder(const std::filesystem::path& relative) const {
  const std::filesystem::path folder = path_ / relative;
  std::filesystem::create_directories(folder);
  return folder;
}

}  // namespace kaldren::patcher::test
