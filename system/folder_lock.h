// The per-folder launcher lock: one named mutex in the signed-in user's "Local\"
// namespace, so that two launchers never work on the same folder at once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/owned_handle.h"

namespace kaldren::patcher {

// "Local\KaldrenMorvale.Lanternix." + 24 lowercase hex digits: the first 12 bytes of
// the SHA-256 of the key's invariant upper case in UTF-8. The key is a folder path as
// the caller holds it (a trailing separator makes a different lock) or "setup".
std::wstring lock_name(std::wstring_view key);

// Created not owned; released (if owned) and closed on destruction. Move-only.
// Windows only.
class FolderLock {
 public:
  // Creates or opens the mutex; PatchError internal "Could not create the launcher lock".
  explicit FolderLock(std::wstring_view name);
  FolderLock(FolderLock&& other) noexcept;
  FolderLock& operator=(FolderLock&& other) noexcept;
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  ~FolderLock();

  // Waits at most `milliseconds`; a mutex left abandoned by a dead owner counts as owned.
  bool try_own(std::uint32_t milliseconds);
  bool owned() const noexcept { return owned_; }

 private:
  void release() noexcept;

  UniqueNullHandle mutex_;
  bool owned_ = false;
};

}  // namespace kaldren::patcher
