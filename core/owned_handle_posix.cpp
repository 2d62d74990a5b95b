#include <unistd.h>

#include "core/owned_handle.h"

namespace kaldren::patcher::handle_detail {

void DescriptorTraits::close(int descriptor) noexcept { ::close(descriptor); }

}  // namespace kaldren::patcher::handle_detail
