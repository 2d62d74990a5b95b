// The disk the engine's tests run on: the in-memory drive, or the machine's own file
// system when the environment variable LANTERNIX_TEST_DISK is "system" (Windows only),
// so that one test executable checks both and they cannot drift apart.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>

#include "system/file_system.h"
#include "support/temp_folder.h"
#include "system/memory_file_system.h"

namespace kaldren::patcher::test {

FileSystem& test_disk();
// The in-memory drive when it is the one under test; null on the system's disk.
MemoryFileSystem* memory_disk();

// A fresh folder on the test disk, removed with its contents. On the in-memory drive
// it also clears faults, limits and hooks left by an earlier test.
class DiskFolder : public TempFolder {
 public:
  DiskFolder();
};

// The file's bytes, or "<missing>" when it cannot be read.
std::string content_of(const std::filesystem::path& path);
bool present(const std::filesystem::path& path);
// Every file below `folder`, by '/'-separated relative path, with its bytes; folders
// named in `skipped` (relative, top level) are left out.
std::map<std::string, std::string> files_below(const std::filesystem::path& folder, std::string_view skipped = {});
// Sets a file's last write time, as a user's tools can.
void set_modified(const std::filesystem::path& path, std::uint64_t modified);

// The system's file system where there is one (Windows); null elsewhere.
FileSystem* system_disk();
void set_system_modified(const std::filesystem::path& path, std::uint64_t modified);

}  // namespace kaldren::patcher::test
