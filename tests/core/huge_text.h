// Read-only zero-filled text longer than the conversions accept (2^31 units),
// backed by reserved address space rather than memory.
#pragma once

#include <cstddef>
#include <string_view>

namespace kaldren::patcher::test_support {

class HugeText {
 public:
  explicit HugeText(std::size_t bytes);
  ~HugeText();
  HugeText(const HugeText&) = delete;
  HugeText& operator=(const HugeText&) = delete;

  bool valid() const { return data_ != nullptr; }
  std::string_view narrow(std::size_t units) const {
    return {static_cast<const char*>(data_), units};
  }
  std::wstring_view wide(std::size_t units) const {
    return {static_cast<const wchar_t*>(data_), units};
  }

 private:
  void* data_ = nullptr;
  std::size_t bytes_ = 0;
};

}  // namespace kaldren::patcher::test_support
