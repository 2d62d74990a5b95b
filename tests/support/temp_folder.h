// A fresh folder, removed with its contents: under the system's temporary folder, or on
// a given disk (the in-memory drive puts it under "/scratch").
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "system/file_system.h"

namespace kaldren::patcher::test {

class TempFolder {
 public:
  TempFolder();
  explicit TempFolder(FileSystem& disk);
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder();

  const std::filesystem::path& path() const { return path_; }
  // `relative` may use '/' on every platform.
  std::filesystem::path operator/(const std::filesystem::path& relative) const;

  // Writes the bytes below the folder, creating the folders above the file.
  std::filesystem::path write(const std::filesystem::path& relative, std::string_view bytes) const;
  std::filesystem::path make_folder(const std::filesystem::path& relative) const;

 private:
  FileSystem* disk_ = nullptr;  // null: the real disk, through the C++ library
  std::filesystem::path path_;
};

}  // namespace kaldren::patcher::test
