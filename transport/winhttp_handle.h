// Sole owner of one WinHTTP handle (HINTERNET), closed when the owner goes away.
#pragma once

#include "core/owned_handle.h"

namespace kaldren::patcher {

struct WinHttpHandleTraits {
  using value_type = void*;
  static void* invalid() noexcept { return nullptr; }
  static void close(void* handle) noexcept;  // WinHttpCloseHandle
};
using WinHttpHandle = OwnedHandle<WinHttpHandleTraits>;

}  // namespace kaldren::patcher
