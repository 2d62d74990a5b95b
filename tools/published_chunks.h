// Chunk lists already on a site, read back: what an earlier release published.
#pragma once

#include <filesystem>
#include <optional>
#include <vector>

#include "protocol/chunk_list.h"
#include "protocol/manifest.h"

namespace kaldren::patcher::publish {

struct PublishedList {
  ChunkIndex index;
  std::vector<ObjectRef> chunks;  // every chunk of the file, in order
};

// The chunk list of a manifest entry: nothing when it has none, or when the index or a
// page is missing, damaged, of another format, or does not describe the file.
std::optional<PublishedList> read_published_list(const std::filesystem::path& site, const ManifestFile& file);

}  // namespace kaldren::patcher::publish
