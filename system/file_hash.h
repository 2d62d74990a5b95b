// SHA-256 of a file on disk, streamed through one fixed buffer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stop_token>

#include "protocol/crypto.h"
#include "system/file_system.h"

namespace kaldren::patcher {

// Receives a byte count: absolute (bytes present) for downloads, a delta for hashing.
using ByteProgress = std::function<void(std::uint64_t bytes)>;

// Reads in 1 MiB steps; `progress` gets each step's byte count. PatchError as
// open_for_read, io "Could not read <path>", cancelled "The launcher was closed".
Sha256Digest sha256_file(FileSystem& fs, const std::filesystem::path& path, std::stop_token stop,
                         const ByteProgress& progress = {});

}  // namespace kaldren::patcher
