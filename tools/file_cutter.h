// Cuts a client file into content-defined chunks, as launchers cut their own copies.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "protocol/chunking.h"

namespace kaldren::patcher::publish {

struct CutChunk {
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
  Sha256Digest sha256{};
};

// Every chunk of the file in order, with its content digest; the file is read once
// through a bounded buffer. Throws ToolError when the file cannot be read.
std::vector<CutChunk> cut_file(const std::filesystem::path& file, const ChunkParams& params);

}  // namespace kaldren::patcher::publish
