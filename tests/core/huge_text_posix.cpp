#include <sys/mman.h>

#include "huge_text.h"

namespace kaldren::patcher::test_support {

HugeText::HugeText(std::size_t bytes) : bytes_(bytes) {
  void* data = mmap(nullptr, bytes, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (data != MAP_FAILED) data_ = data;
}

HugeText::~HugeText() {
  if (data_ != nullptr) munmap(data_, bytes_);
}

}  // namespace kaldren::patcher::test_support
