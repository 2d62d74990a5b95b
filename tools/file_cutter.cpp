#include "tools/file_cutter.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include <fmt/format.h>

#include "core/error.h"
#include "core/owned_handle.h"
#include "tools/signing_key.h"

namespace kaldren::patcher::publish {

std::vector<CutChunk> cut_file(const std::filesystem::path& file, const ChunkParams& params) {
  UniqueDescriptor fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) throw ToolError(fmt::format("Could not open {}: {}", file.string(), std::strerror(errno)));
  std::vector<CutChunk> chunks;
  const auto read = [&](std::span<std::uint8_t> into) {
    for (;;) {
      const ssize_t n = ::read(fd.get(), into.data(), into.size());
      if (n >= 0) return static_cast<std::size_t>(n);
      if (errno != EINTR) throw ToolError(fmt::format("Could not read {}: {}", file.string(), std::strerror(errno)));
    }
  };
  cut_stream(params, read, [&](std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    chunks.push_back({offset, static_cast<std::uint32_t>(bytes.size()), sha256(bytes)});
  });
  return chunks;
}

}  // namespace kaldren::patcher::publish
