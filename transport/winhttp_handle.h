// Sole owner of one WinHTTP handle (HINTERNET), closed when the owner goes away.
#pragma once

#include <utility>

namespace kaldren::patcher {

class WinHttpHandle {
 public:
  WinHttpHandle() noexcept = default;
  explicit WinHttpHandle(void* handle) noexcept : handle_(handle) {}
  WinHttpHandle(WinHttpHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
  WinHttpHandle& operator=(WinHttpHandle&& other) noexcept {
    if (this != &other) {
      reset();
      handle_ = std::exchange(other.handle_, nullptr);
    }
    return *this;
  }
  WinHttpHandle(const WinHttpHandle&) = delete;
  WinHttpHandle& operator=(const WinHttpHandle&) = delete;
  ~WinHttpHandle() { reset(); }

  void* get() const noexcept { return handle_; }
  explicit operator bool() const noexcept { return handle_ != nullptr; }
  void reset() noexcept;  // closes the handle, if any

 private:
  void* handle_ = nullptr;
};

}  // namespace kaldren::patcher
