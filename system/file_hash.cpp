#include "system/file_hash.h"

#include <memory>

#include "core/error.h"
#include "core/text.h"
#include "system/file_operations.h"

namespace kaldren::patcher {
namespace {

constexpr std::size_t kHashStepBytes = HashBuffers::kBytes;

struct alignas(32) HashBuffer {
  std::uint8_t bytes[kHashStepBytes];
};

Sha256Digest sha256_of(OpenFile& file, const std::filesystem::path& path, std::stop_token stop,
                       std::span<std::uint8_t> buffer, const ByteProgress& progress) {
  Sha256 hash;
  for (;;) {
    throw_if_stopped(stop);
    std::size_t read = 0;
    if (const SystemCode error = file.read(buffer, read); error != 0) {
      throw_win32(ErrorCategory::io, "Could not read " + display_path(path), error);
    }
    if (read == 0) break;
    hash.update(std::span<const std::uint8_t>(buffer.data(), read));
    if (progress) progress(read);
  }
  return hash.finish();
}

}  // namespace

Sha256Digest sha256_file(FileSystem& fs, const std::filesystem::path& path, std::stop_token stop,
                         const ByteProgress& progress) {
  const auto buffer = std::make_unique_for_overwrite<HashBuffer>();
  return sha256_file(fs, path, std::move(stop), buffer->bytes, progress);
}

Sha256Digest sha256_file(FileSystem& fs, const std::filesystem::path& path, std::stop_token stop,
                         std::span<std::uint8_t> buffer, const ByteProgress& progress) {
  return sha256_of(*open_for_read(fs, path), path, stop, buffer, progress);
}

Sha256Digest sha256_and_flush_file(FileSystem& fs, const std::filesystem::path& path, std::stop_token stop,
                                   std::span<std::uint8_t> buffer) {
  const std::unique_ptr<OpenFile> file = open_for_read_and_flush(fs, path);
  const Sha256Digest digest = sha256_of(*file, path, stop, buffer, {});
  flush_bytes(*file, path);
  return digest;
}

HashBuffers::Lease HashBuffers::take() {
  std::unique_ptr<std::uint8_t[]> bytes = buffers_.take_free();
  if (!bytes) bytes = std::make_unique_for_overwrite<std::uint8_t[]>(kBytes);
  return Lease(buffers_, std::move(bytes));
}

}  // namespace kaldren::patcher
