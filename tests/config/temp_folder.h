// A fresh folder under the system's temporary folder, removed with its contents.
#pragma once

#include <windows.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

namespace kaldren::patcher::test {

class TempFolder {
 public:
  TempFolder() {
    static unsigned counter = 0;
    std::wstring temp(MAX_PATH + 1, L'\0');
    temp.resize(GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()));
    path_ = std::filesystem::path(temp) /
            (L"lanternix-config-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(++counter));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }

  const std::filesystem::path& path() const { return path_; }
  std::wstring str() const { return path_.wstring(); }
  std::wstring operator/(std::wstring_view relative) const { return (path_ / relative).wstring(); }

  // Writes the bytes to a file below the folder, creating the folders above it.
  void write(std::wstring_view relative, std::string_view bytes) const {
    std::filesystem::path file = path_ / relative;
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }

  void make_folder(std::wstring_view relative) const {
    std::filesystem::create_directories(path_ / relative);
  }

 private:
  std::filesystem::path path_;
};

}  // namespace kaldren::patcher::test
