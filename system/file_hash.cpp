#include "system/file_hash.h"

#include <memory>

#include "core/error.h"
#include "core/text.h"
#include "system/file_operations.h"

namespace kaldren::patcher {
namespace {

constexpr std::size_t kHashStepBytes = 1048576;

struct alignas(32) HashBuffer {
  std::uint8_t bytes[kHashStepBytes];
};

}  // namespace

Sha256Digest sha256_file(FileSystem& fs, const std::filesystem::path& path, std::stop_token stop,
                         const ByteProgress& progress) {
  const std::unique_ptr<OpenFile> file = open_for_read(fs, path);
  Sha256 hash;
  const auto buffer = std::make_unique_for_overwrite<HashBuffer>();
  for (;;) {
    throw_if_stopped(stop);
    std::size_t read = 0;
    if (const SystemCode error = file->read(buffer->bytes, read); error != 0) {
      throw_win32(ErrorCategory::io, "Could not read " + display_path(path), error);
    }
    if (read == 0) break;
    hash.update(std::span<const std::uint8_t>(buffer->bytes, read));
    if (progress) progress(read);
  }
  return hash.finish();
}

}  // namespace kaldren::patcher
