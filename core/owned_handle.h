// Move-only owners of system resources, closed when their owner goes out of scope:
// one OwnedHandle per kind of handle, told apart by its traits (the value that means
// "none" and how to close). Handles of Windows are held as void* (what HANDLE is),
// so this header needs no <windows.h>; other kinds bring their traits where used.
#pragma once

#include <cstdint>
#include <utility>

namespace kaldren::patcher {

// Traits: `using value_type = ...;`, `static value_type invalid() noexcept` and
// `static void close(value_type) noexcept`.
template <typename Traits>
class OwnedHandle {
 public:
  using value_type = typename Traits::value_type;

  OwnedHandle() noexcept = default;
  explicit OwnedHandle(value_type handle) noexcept : handle_(handle) {}
  OwnedHandle(OwnedHandle&& other) noexcept : handle_(other.release()) {}
  OwnedHandle& operator=(OwnedHandle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  OwnedHandle(const OwnedHandle&) = delete;
  OwnedHandle& operator=(const OwnedHandle&) = delete;
  ~OwnedHandle() { reset(); }

  value_type get() const noexcept { return handle_; }
  bool valid() const noexcept { return handle_ != Traits::invalid(); }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing.
  value_type release() noexcept { return std::exchange(handle_, Traits::invalid()); }

  // Closes the current handle (if any) and takes the new one.
  void reset(value_type handle = Traits::invalid()) noexcept {
    value_type old = std::exchange(handle_, handle);
    if (old != Traits::invalid()) Traits::close(old);
  }

  // For a call that hands out a new handle through a pointer: closes the current one.
  value_type* out() noexcept {
    reset();
    return &handle_;
  }

 private:
  value_type handle_ = Traits::invalid();
};

namespace handle_detail {

void close_kernel_handle(void* handle) noexcept;  // CloseHandle
void close_find_handle(void* handle) noexcept;    // FindClose

inline void* invalid_handle_value() noexcept { return reinterpret_cast<void*>(static_cast<std::intptr_t>(-1)); }

// Files and most handles of CreateFileW: INVALID_HANDLE_VALUE means none.
struct FileHandleTraits {
  using value_type = void*;
  static void* invalid() noexcept { return invalid_handle_value(); }
  static void close(void* handle) noexcept { close_kernel_handle(handle); }
};

// Mutexes, events, processes: null means none.
struct NullHandleTraits {
  using value_type = void*;
  static void* invalid() noexcept { return nullptr; }
  static void close(void* handle) noexcept { close_kernel_handle(handle); }
};

// Searches of FindFirstFileExW: INVALID_HANDLE_VALUE means none; closed by FindClose.
struct FindHandleTraits {
  using value_type = void*;
  static void* invalid() noexcept { return invalid_handle_value(); }
  static void close(void* handle) noexcept { close_find_handle(handle); }
};

// POSIX file descriptors: -1 means none.
struct DescriptorTraits {
  using value_type = int;
  static int invalid() noexcept { return -1; }
  static void close(int descriptor) noexcept;
};

}  // namespace handle_detail

using UniqueHandle = OwnedHandle<handle_detail::FileHandleTraits>;
using UniqueNullHandle = OwnedHandle<handle_detail::NullHandleTraits>;
using FindHandle = OwnedHandle<handle_detail::FindHandleTraits>;
using UniqueDescriptor = OwnedHandle<handle_detail::DescriptorTraits>;

// A null-invalid handle released by `Close` (a free function such as RegCloseKey).
template <typename Handle, auto Close>
struct ClosedBy {
  using value_type = Handle;
  static Handle invalid() noexcept { return nullptr; }
  static void close(Handle handle) noexcept { Close(handle); }
};

}  // namespace kaldren::patcher
