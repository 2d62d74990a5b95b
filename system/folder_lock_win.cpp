#include <windows.h>

#include <utility>

#include "core/error.h"
#include "system/folder_lock.h"

namespace kaldren::patcher {

FolderLock::FolderLock(std::wstring_view name) {
  const std::wstring terminated(name);
  mutex_.reset(CreateMutexW(nullptr, FALSE, terminated.c_str()));
  if (!mutex_) {
    const DWORD error = GetLastError();
    throw_win32(ErrorCategory::internal, "Could not create the launcher lock", error);
  }
}

FolderLock::FolderLock(FolderLock&& other) noexcept
    : mutex_(std::move(other.mutex_)), owned_(std::exchange(other.owned_, false)) {}

FolderLock& FolderLock::operator=(FolderLock&& other) noexcept {
  if (this != &other) {
    release();
    mutex_ = std::move(other.mutex_);
    owned_ = std::exchange(other.owned_, false);
  }
  return *this;
}

FolderLock::~FolderLock() { release(); }

bool FolderLock::try_own(std::uint32_t milliseconds) {
  // Waiting again while owned would count the mutex twice but release it once.
  if (owned_ || !mutex_) return owned_;
  const DWORD result = WaitForSingleObject(mutex_.get(), milliseconds);
  owned_ = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
  return owned_;
}

void FolderLock::release() noexcept {
  if (owned_ && mutex_) ReleaseMutex(mutex_.get());
  owned_ = false;
  mutex_.reset();
}

}  // namespace kaldren::patcher
