#include <windows.h>

#include "huge_text.h"

namespace kaldren::patcher::test_support {

HugeText::HugeText(std::size_t bytes) : bytes_(bytes) {
  data_ = VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READONLY);
}

HugeText::~HugeText() {
  if (data_ != nullptr) VirtualFree(data_, 0, MEM_RELEASE);
}

}  // namespace kaldren::patcher::test_support
