#include <windows.h>

#include <stdexcept>

#include "core/owned_handle.h"
#include "support/test_disk.h"

namespace kaldren::patcher::test {

FileSystem* system_disk() { return &system_file_system(); }

void set_system_modified(const std::filesystem::path& path, std::uint64_t modified) {
  const UniqueHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
  const FILETIME time{static_cast<DWORD>(modified), static_cast<DWORD>(modified >> 32)};
  if (!file || !SetFileTime(file.get(), nullptr, nullptr, &time)) throw std::runtime_error("could not set the time");
}

}  // namespace kaldren::patcher::test
