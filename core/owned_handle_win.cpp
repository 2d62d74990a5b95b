#include <windows.h>

#include "core/owned_handle.h"

namespace kaldren::patcher::handle_detail {

void close_kernel_handle(void* handle) noexcept { CloseHandle(handle); }

void close_find_handle(void* handle) noexcept { FindClose(handle); }

}  // namespace kaldren::patcher::handle_detail
