// SHA-256 of a file on disk, streamed through one fixed buffer.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <stop_token>

#include "core/pool.h"
#include "protocol/crypto.h"
#include "system/file_system.h"

namespace kaldren::patcher {

// Receives a byte count: absolute (bytes present) for downloads, a delta for hashing.
using ByteProgress = std::function<void(std::uint64_t bytes)>;

// Reads in 1 MiB steps; `progress` gets each step's byte count. PatchError as
// open_for_read, io "Could not read <path>", cancelled "The launcher was closed".
Sha256Digest sha256_file(FileSystem& fs, const std::filesystem::path& path, std::stop_token stop,
                         const ByteProgress& progress = {});

// The same through a caller's buffer (any size above zero).
Sha256Digest sha256_file(FileSystem& fs, const std::filesystem::path& path, std::stop_token stop,
                         std::span<std::uint8_t> buffer, const ByteProgress& progress = {});

// Hashes the file and then makes it durable, through one handle (under Wine every open
// is a round trip to the system's server). PatchError as above and as flush_file.
Sha256Digest sha256_and_flush_file(FileSystem& fs, const std::filesystem::path& path, std::stop_token stop,
                                   std::span<std::uint8_t> buffer);

// Read buffers for threads that hash one file after another, each allocated once and
// handed back for the next file: a fresh 1 MiB buffer per file is mapped, cleared and
// unmapped by the system every time, which costs more than hashing a small file.
// Thread-safe.
class HashBuffers {
  using Buffers = Pool<std::unique_ptr<std::uint8_t[]>>;

 public:
  class Lease {
   public:
    Lease(Buffers& owner, std::unique_ptr<std::uint8_t[]> bytes) : owner_(owner), bytes_(std::move(bytes)) {}
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    ~Lease() { owner_.give_back(std::move(bytes_)); }
    std::span<std::uint8_t> bytes() const noexcept { return {bytes_.get(), kBytes}; }

   private:
    Buffers& owner_;
    std::unique_ptr<std::uint8_t[]> bytes_;
  };

  static constexpr std::size_t kBytes = 1048576;
  Lease take();

 private:
  Buffers buffers_;
};

}  // namespace kaldren::patcher
