// The chunks of a file already on the player's disk, cut as the publisher cuts, with
// each chunk's digest: what an update can take from local files instead of fetching.
#pragma once

#include <cstdint>
#include <filesystem>
#include <stop_token>
#include <vector>

#include "protocol/chunking.h"
#include "system/file_hash.h"
#include "system/file_system.h"

namespace kaldren::patcher {

struct LocalChunk {
  Sha256Digest sha256{};
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
};

// Reads the file once; `progress` gets each step's byte count (a delta). PatchError as
// open_for_read, io "Could not read <path>", cancelled "The launcher was closed".
std::vector<LocalChunk> cut_local_file(FileSystem& fs, const std::filesystem::path& file, const ChunkParams& params,
                                       std::stop_token stop, const ByteProgress& progress = {});

// A run of consecutive chunks of one local file that forms a page of the same cut.
struct LocalPage {
  std::size_t first = 0;  // index of its first chunk
  std::size_t count = 0;
  Sha256Digest fingerprint{};
};

// The file's chunks split into pages as the publisher splits a list.
std::vector<LocalPage> local_pages(const std::vector<LocalChunk>& chunks, const ChunkParams& params);

}  // namespace kaldren::patcher
