// SHA-256 of a file on disk, streamed through one fixed buffer.
#include <windows.h>

#include <memory>

#include "core/error.h"
#include "engine/file_operations.h"
#include "engine/file_support_win.h"
#include "engine/object_store.h"

namespace kaldren::patcher {

namespace {

constexpr DWORD kHashStepBytes = 1048576;

struct alignas(32) HashBuffer {
  std::uint8_t bytes[kHashStepBytes];
};

}  // namespace

Sha256Digest sha256_file(const std::filesystem::path& path, std::stop_token stop, const ByteProgress& progress) {
  const UniqueHandle file = open_for_read(path);
  Sha256 hash;
  const std::unique_ptr<HashBuffer> buffer(new HashBuffer);
  for (;;) {
    if (stop.stop_requested()) throw PatchError(ErrorCategory::cancelled, "The launcher was closed");
    DWORD read = 0;
    if (!ReadFile(file.get(), buffer->bytes, kHashStepBytes, &read, nullptr)) {
      const DWORD error = GetLastError();
      throw_win32(ErrorCategory::io, "Could not read " + file_support::display_path(path), error);
    }
    if (read == 0) break;
    hash.update(std::span<const std::uint8_t>(buffer->bytes, read));
    if (progress) progress(read);
  }
  return hash.finish();
}

}  // namespace kaldren::patcher
