#include "engine/local_chunks.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "core/error.h"
#include "core/text.h"
#include "system/file_operations.h"

namespace kaldren::patcher {

std::vector<LocalChunk> cut_local_file(FileSystem& fs, const std::filesystem::path& file, const ChunkParams& params,
                                       std::stop_token stop, const ByteProgress& progress) {
  const std::unique_ptr<OpenFile> input = open_for_read(fs, file);
  // Several chunks per read; the bytes of a chunk not yet cut move to the front.
  const std::size_t capacity = std::max<std::size_t>(4u << 20, 2 * std::size_t{params.max});
  const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
  std::size_t start = 0;
  std::size_t filled = 0;
  bool at_end = false;
  std::uint64_t offset = 0;
  std::vector<LocalChunk> chunks;
  for (;;) {
    if (!at_end && filled - start < params.max) {
      std::memmove(buffer.get(), buffer.get() + start, filled - start);
      filled -= start;
      start = 0;
      while (!at_end && filled < capacity) {
        throw_if_stopped(stop);
        std::size_t read = 0;
        if (const SystemCode error = input->read({buffer.get() + filled, capacity - filled}, read); error != 0) {
          throw_win32(ErrorCategory::io, "Could not read " + display_path(file), error);
        }
        at_end = read == 0;
        filled += read;
        if (progress && read != 0) progress(read);
      }
    }
    if (start == filled) break;
    throw_if_stopped(stop);
    const std::span<const std::uint8_t> rest(buffer.get() + start, filled - start);
    const std::size_t length = chunk_length(rest.first(std::min<std::size_t>(rest.size(), params.max)), params);
    chunks.push_back({sha256(rest.first(length)), offset, static_cast<std::uint32_t>(length)});
    offset += length;
    start += length;
  }
  return chunks;
}

std::vector<LocalPage> local_pages(const std::vector<LocalChunk>& chunks, const ChunkParams& params) {
  std::vector<LocalPage> pages;
  LocalPage page;
  PageFingerprint fingerprint;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    fingerprint.add(chunks[i].sha256, chunks[i].size);
    ++page.count;
    if (ends_page(chunks[i].sha256, page.count, params) || i + 1 == chunks.size()) {
      page.fingerprint = fingerprint.finish();
      pages.push_back(page);
      page = LocalPage{i + 1, 0, {}};
      fingerprint = PageFingerprint();
    }
  }
  return pages;
}

}  // namespace kaldren::patcher
