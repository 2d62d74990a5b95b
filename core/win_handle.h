// Move-only owners of Windows handles, closed when their owner goes out of scope.
// Handles are held as void* (what HANDLE is), so this header needs no <windows.h>.
#pragma once

#include <cstdint>
#include <utility>

namespace kaldren::patcher {
namespace handle_detail {

void close_kernel_handle(void* handle) noexcept;  // CloseHandle
void close_find_handle(void* handle) noexcept;    // FindClose

inline void* invalid_handle_value() noexcept {
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));
}

// Files and most handles of CreateFileW: INVALID_HANDLE_VALUE means none.
struct FileHandleTraits {
  static void* invalid() noexcept { return invalid_handle_value(); }
  static void close(void* handle) noexcept { close_kernel_handle(handle); }
};

// Mutexes, events, processes: null means none.
struct NullHandleTraits {
  static void* invalid() noexcept { return nullptr; }
  static void close(void* handle) noexcept { close_kernel_handle(handle); }
};

// Searches of FindFirstFileExW: INVALID_HANDLE_VALUE means none; closed by FindClose.
struct FindHandleTraits {
  static void* invalid() noexcept { return invalid_handle_value(); }
  static void close(void* handle) noexcept { close_find_handle(handle); }
};

}  // namespace handle_detail

template <typename Traits>
class OwnedHandle {
 public:
  OwnedHandle() noexcept = default;
  explicit OwnedHandle(void* handle) noexcept : handle_(handle) {}
  OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.release()) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { reset(); }

  void* get() const noexcept { return handle_; }
  bool valid() const noexcept { return handle_ != Traits::invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing.
  void* release() noexcept { return std::exchange(handle_, Traits::invalid()); }

  // Closes the current handle (if any) and takes the new one.
  void reset(void* handle = Traits::invalid()) noexcept {
    void* old = std::exchange(handle_, handle);
    if (old != Traits::invalid()) Traits::close(old);
  }

 private:
  void* handle_ = Traits::invalid();
};

using UniqueHandle = OwnedHandle<handle_detail::FileHandleTraits>;
using UniqueNullHandle = OwnedHandle<handle_detail::NullHandleTraits>;
using FindHandle = OwnedHandle<handle_detail::FindHandleTraits>;

}  // namespace kaldren::patcher
