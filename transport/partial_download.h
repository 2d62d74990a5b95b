// Where a download to a destination left by an earlier attempt starts again.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "system/file_system.h"
#include "transport/transport.h"

namespace kaldren::patcher {

// The bytes of `destination` to keep and resume after (a partial file longer than
// `size` is deleted: 0); nothing when all `size` bytes are there, after reporting them.
std::optional<std::uint64_t> bytes_to_resume(FileSystem& fs, const std::filesystem::path& destination,
                                             std::uint64_t size, const DownloadProgress& progress);

}  // namespace kaldren::patcher
