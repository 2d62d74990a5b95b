#include "engine/local_chunks.h"

#include <memory>

#include "core/error.h"
#include "core/text.h"
#include "system/file_operations.h"

namespace kaldren::patcher {

std::vector<LocalChunk> cut_local_file(FileSystem& fs, const std::filesystem::path& file, const ChunkParams& params,
                                       std::stop_token stop, const ByteProgress& progress) {
  const std::unique_ptr<OpenFile> input = open_for_read(fs, file);
  std::vector<LocalChunk> chunks;
  const auto read = [&](std::span<std::uint8_t> into) {
    throw_if_stopped(stop);
    std::size_t got = 0;
    if (const SystemCode error = input->read(into, got); error != 0) {
      throw_win32(ErrorCategory::io, "Could not read " + display_path(file), error);
    }
    if (progress && got != 0) progress(got);
    return got;
  };
  cut_stream(params, read, [&](std::uint64_t offset, std::span<const std::uint8_t> bytes) {
    chunks.push_back({sha256(bytes), offset, static_cast<std::uint32_t>(bytes.size())});
  });
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
