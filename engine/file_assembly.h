// Building a file to install from pieces: chunks of files already on the disk and
// chunks just downloaded. The result takes its staged name only when its whole-file
// digest is the manifest's, so nothing unverified is ever installed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <stop_token>
#include <string>
#include <vector>

#include "engine/object_store.h"
#include "system/file_hash.h"
#include "system/file_system.h"

namespace kaldren::patcher {

// One stretch of the new file: a chunk of a local file (its digest checked when it was
// found) or a chunk staged by the object store.
struct ChunkUse {
  static constexpr std::uint32_t kStaged = 0xFFFFFFFF;
  Sha256Digest sha256{};
  std::uint64_t offset = 0;           // in the local source
  std::uint64_t size = 0;
  std::uint32_t source = kStaged;     // index into the assembly's sources
};

struct AssemblyPlan {
  ObjectRef object;            // the content to build
  std::string name;            // the manifest path, for messages
  std::vector<ChunkUse> chunks;  // in file order
  std::vector<std::filesystem::path> sources;  // local files the chunks come from
  // A whole local file copied: a mismatch then only means it changed meanwhile.
  bool whole_copy = false;
};

enum class AssemblyOutcome {
  staged,         // the content is at the store's staged name
  local_changed,  // a local piece no longer holds what was found there: fetch the file whole
};

// Writes the pieces to the staged name's ".tmp", hashing them on the way, and gives the
// content its staged name once the digest holds (flushed). When it does not hold and
// every piece still verifies, the publication is at fault: PatchError security "An
// assembled file failed verification (<name>). The publication is inconsistent.".
// `progress` gets each step's bytes (a delta).
AssemblyOutcome assemble_file(FileSystem& fs, const ObjectStore& store, const AssemblyPlan& plan,
                              std::stop_token stop, std::span<std::uint8_t> buffer, const ByteProgress& progress);

}  // namespace kaldren::patcher
