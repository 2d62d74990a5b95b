// The chunk list of a large client file: a chunk index (named by the file's manifest
// entry) listing pages, each page a document listing chunks, every chunk an object.
// Pages are cut by content, so an edit changes only the pages around it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/chunking.h"
#include "protocol/release.h"

namespace kaldren::patcher {

inline constexpr std::size_t kMaxChunkSeeds = 16;

// One page as the index names it.
struct ChunkPageRef {
  ObjectRef page;            // the page document
  std::uint64_t chunks = 0;  // how many chunks it lists
  std::uint64_t span = 0;    // the content bytes they hold
  Sha256Digest fingerprint{};  // PageFingerprint of its chunks
};

struct ChunkIndex {
  // False when the index uses a format or cutting method this launcher does not know:
  // the file is then fetched whole, as by launchers without chunk lists.
  bool supported = true;
  ChunkParams params;
  std::uint64_t size = 0;  // the file's content bytes
  std::vector<ChunkPageRef> pages;
  // Paths (in this release or an earlier one) of files that share content with this
  // one: where a launcher may look for chunks besides the file's own old version.
  std::vector<std::string> seeds;
};

// A page's chunks in file order; `compressed` chunks are one zstd frame each.
struct ChunkPage {
  std::vector<ObjectRef> chunks;
};

// Parsers: malformed documents are PatchError server ("The patch server sent a
// malformed update description: ..."); an unknown format gives supported = false.
ChunkIndex parse_chunk_index(std::string_view document);
ChunkPage parse_chunk_page(std::string_view document);

// Checks a supported index against the file it describes (size, page sums, limits,
// safe seed paths); PatchError security "The chunk list of <path> ..." otherwise.
void validate_chunk_index(const ChunkIndex& index, const std::string& path, std::uint64_t file_size);
// Checks a page against its entry in the index: count, span, fingerprint, chunk sizes
// within the parameters (only a file's last chunk may be short). PatchError security.
void validate_chunk_page(const ChunkPage& page, const ChunkPageRef& entry, const ChunkParams& params,
                         bool last_page, const std::string& path);

std::string write_chunk_index(const ChunkIndex& index);
std::string write_chunk_page(const ChunkPage& page);

// The fingerprint of a page's chunks (content digests and sizes).
Sha256Digest page_fingerprint(const std::vector<ObjectRef>& chunks);

}  // namespace kaldren::patcher
