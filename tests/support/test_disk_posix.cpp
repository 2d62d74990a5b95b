#include <stdexcept>

#include "support/test_disk.h"

namespace kaldren::patcher::test {

FileSystem* system_disk() { return nullptr; }

void set_system_modified(const std::filesystem::path&, std::uint64_t) {
  throw std::logic_error("no system disk under test here");
}

}  // namespace kaldren::patcher::test
