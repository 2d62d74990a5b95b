// Chunk lists for a publication's large files: each file cut into content-defined
// chunks, every chunk an object, pages and an index naming them. Content the current
// release already published keeps its objects and lists.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "protocol/chunking.h"
#include "protocol/manifest.h"
#include "tools/client_folder.h"
#include "tools/object_writer.h"

namespace kaldren::patcher::publish {

// Files smaller than this many average chunks stay whole objects only: their list
// and requests would cost about what the file does.
inline constexpr std::uint64_t kChunkedFileAverages = 4;

struct ChunkListSummary {
  std::uint64_t files = 0;          // files given a chunk list
  std::uint64_t lists_reused = 0;   // unchanged files whose published list was kept
  std::uint64_t chunks_new = 0;     // chunk objects written
  std::uint64_t chunks_reused = 0;  // chunk objects already published
  std::uint64_t list_bytes = 0;     // stored bytes of the release's chunk lists (indexes and pages)
};

// Sets `entries[i].chunks` for every file of at least kChunkedFileAverages average
// chunks (`entries` and `files` in the same order, objects already stored). `current`
// is the manifest of the channel's current release, or null. Throws ToolError.
ChunkListSummary add_chunk_lists(const std::filesystem::path& site, ObjectWriter& objects,
                                 const std::vector<ClientFile>& files, std::vector<ManifestFile>& entries,
                                 const ClientManifest* current, const ChunkParams& params, unsigned threads,
                                 const std::function<void(const std::string&)>& progress);

}  // namespace kaldren::patcher::publish
