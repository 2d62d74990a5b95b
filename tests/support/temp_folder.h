// A fresh folder under the system's temporary folder, removed with its contents.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace kaldren::patcher::test {

class TempFolder {
 public:
  TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder();

  const std::filesystem::path& path() const { return path_; }
  std::filesystem::path operator/(const std::filesystem::path& relative) const { return path_ / relative; }

  // Writes the bytes below the folder, creating the folders above the file.
  std::filesystem::path write(const std::filesystem::path& relative, std::string_view bytes) const;
  std::filesystem::path make_folder(const std::filesystem::path& relative) const;

 private:
  std::filesystem::path path_;
};

}  // namespace kaldren::patcher::test
