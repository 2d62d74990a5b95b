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

// The chunk list of a manifest entry that has one, read and checked as a launcher reads
// it: ToolError naming the problem when the index or a page is missing, damaged or does
// not describe the file; an index of a later format comes back unsupported, pages unread.
PublishedList read_chunk_list(const std::filesystem::path& site, const ManifestFile& file);

// The same, with nothing for an entry without a list, a list of another format, or any
// problem: for uses where a list only saves work.
std::optional<PublishedList> read_published_list(const std::filesystem::path& site, const ManifestFile& file);

}  // namespace kaldren::patcher::publish
