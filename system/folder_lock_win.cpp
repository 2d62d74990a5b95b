// The per-folder launcher lock: a named mutex in the signed-in user's "Local\" namespace.
#include <windows.h>

#include <utility>

#include "core/error.h"
#include "core/text.h"
#include "engine/file_operations.h"
#include "protocol/crypto.h"
#include "protocol/encoding.h"

namespace kaldren::patcher {
namespace {

constexpr std::size_t kLockDigestBytes = 12;

}  // namespace

std::wstring lock_name(std::wstring_view key) {
  const Sha256Digest digest = sha256(to_utf8(fold_path_case(key)));
  const std::string hex = to_hex(std::span(digest.data(), kLockDigestBytes));
  return L"Local\\KaldrenMorvale.Lanternix." + to_utf16(hex);
}

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
