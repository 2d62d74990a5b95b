// Win32 error codes as text where Windows is not underneath (the native build and its
// in-memory file system): the codes are Win32's everywhere in the launcher, so their
// texts are too, as Windows words them in English.
#include <string>
#include <utility>

#include "core/error.h"

namespace kaldren::patcher {

std::string win32_message(std::uint32_t code) {
  static constexpr std::pair<std::uint32_t, const char*> kTexts[] = {
      {2, "The system cannot find the file specified"},
      {3, "The system cannot find the path specified"},
      {5, "Access is denied"},
      {21, "The device is not ready"},
      {32, "The process cannot access the file because it is being used by another process"},
      {33, "The process cannot access the file because another process has locked a portion of the file"},
      {39, "The disk is full"},
      {80, "The file exists"},
      {112, "There is not enough space on the disk"},
      {145, "The directory is not empty"},
      {183, "Cannot create a file when that file already exists"},
      {267, "The directory name is invalid"},
      {1224, "The requested operation cannot be performed on a file with a user-mapped section open"},
  };
  for (const auto& [known, text] : kTexts) {
    if (known == code) return text;
  }
  return {};
}

}  // namespace kaldren::patcher
