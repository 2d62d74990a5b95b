#include "support/test_disk.h"

#include <cstdlib>
#include <stdexcept>

#include "core/error.h"
#include "core/text.h"
#include "system/file_operations.h"

namespace kaldren::patcher::test {
namespace {

bool on_system_disk() {
  const char* chosen = std::getenv("LANTERNIX_TEST_DISK");
  return chosen != nullptr && std::string_view(chosen) == "system";
}

MemoryFileSystem& memory_drive() {
  static MemoryFileSystem drive;
  return drive;
}

// The test disk, on the in-memory drive without the faults, limits and hooks an
// earlier test left.
FileSystem& cleared_test_disk() {
  if (MemoryFileSystem* memory = memory_disk()) {
    memory->clear_faults();
    memory->set_capacity(UINT64_MAX);
    memory->set_long_paths_enabled(false);
    memory->on_pause({});
  }
  return test_disk();
}

}  // namespace

FileSystem& test_disk() {
  if (!on_system_disk()) return memory_drive();
  FileSystem* system = system_disk();
  if (system == nullptr) throw std::logic_error("LANTERNIX_TEST_DISK=system needs Windows");
  return *system;
}

MemoryFileSystem* memory_disk() { return on_system_disk() ? nullptr : &memory_drive(); }

DiskFolder::DiskFolder() : TempFolder(cleared_test_disk()) {}

std::string content_of(const std::filesystem::path& path) {
  try {
    return read_file(test_disk(), path, UINT64_MAX);
  } catch (const PatchError&) {
    return "<missing>";
  }
}

bool present(const std::filesystem::path& path) {
  FileStatus status;
  return test_disk().status(path, status) == 0;
}

std::map<std::string, std::string> files_below(const std::filesystem::path& folder, std::string_view skipped) {
  std::map<std::string, std::string> files;
  const auto walk = [&](const auto& self, const std::filesystem::path& at, const std::string& prefix) -> void {
    for (const FolderEntry& entry : test_disk().list(at).entries) {
      const std::string name = prefix + display_path(entry.name);
      if (prefix.empty() && name == skipped) continue;
      if (entry.status.folder) {
        self(self, at / entry.name, name + "/");
      } else {
        files[name] = content_of(at / entry.name);
      }
    }
  };
  walk(walk, folder, "");
  return files;
}

void set_modified(const std::filesystem::path& path, std::uint64_t modified) {
  if (MemoryFileSystem* memory = memory_disk()) {
    memory->set_modified(path, modified);
  } else {
    set_system_modified(path, modified);
  }
}

}  // namespace kaldren::patcher::test
