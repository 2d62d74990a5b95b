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
  // Several chunks per read; the bytes of a chunk not yet cut stay at the front.
  std::vector<std::uint8_t> buffer(std::max<std::size_t>(4u << 20, 2 * std::size_t{params.max}));
  std::size_t start = 0;
  std::size_t filled = 0;
  bool at_end = false;
  std::uint64_t offset = 0;
  std::vector<CutChunk> chunks;
  for (;;) {
    if (!at_end && filled - start < params.max) {
      std::memmove(buffer.data(), buffer.data() + start, filled - start);
      filled -= start;
      start = 0;
      while (!at_end && filled < buffer.size()) {
        const ssize_t n = ::read(fd.get(), buffer.data() + filled, buffer.size() - filled);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) throw ToolError(fmt::format("Could not read {}: {}", file.string(), std::strerror(errno)));
        if (n == 0) at_end = true;
        filled += static_cast<std::size_t>(n);
      }
    }
    if (start == filled) break;
    const std::span<const std::uint8_t> rest(buffer.data() + start, filled - start);
    const std::size_t length = chunk_length(rest.first(std::min<std::size_t>(rest.size(), params.max)), params);
    chunks.push_back({offset, static_cast<std::uint32_t>(length), sha256(rest.first(length))});
    offset += length;
    start += length;
  }
  return chunks;
}

}  // namespace kaldren::patcher::publish
