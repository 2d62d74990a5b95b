// Writes client files into a publication's content-addressed object store
// (v2/objects/xx/<stored sha256>), compressing with zstd when that saves bytes.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core/pool.h"
#include "protocol/release.h"

struct ZSTD_CCtx_s;

namespace kaldren::patcher::publish {

using Digest = std::array<std::uint8_t, 32>;

struct ContentDigest {
  Digest sha256{};
  std::uint64_t size = 0;
};

// SHA-256 and size of a file's bytes, read in bounded pieces. Throws ToolError.
ContentDigest hash_file(const std::filesystem::path& file);

// Thread-safe: several workers may store objects into one site at once.
class ObjectWriter {
 public:
  // `level` 0 stores every object uncompressed; 1-19 is the zstd level.
  ObjectWriter(std::filesystem::path site, int level);

  // Stores the file's content (already hashed as `content`) and returns its reference.
  // An object already present with the right size and digest is not rewritten; a
  // damaged one is replaced.
  ObjectRef store_file(const std::filesystem::path& file, const ContentDigest& content);
  // Same for bytes held in memory (the manifest).
  ObjectRef store_bytes(const std::string& bytes);
  // A chunk of a file held in memory (at most a few hundred KiB), with its content
  // digest. Not synced one by one: the site is synced before a release names it.
  ObjectRef store_chunk(std::span<const std::uint8_t> content, const Sha256Digest& sha256);

  // Counts an object known to be present (from the current release) as reused.
  ObjectRef store_known(const ObjectRef& ref) {
    reused_.fetch_add(1);
    return ref;
  }

  // True when the object a reference names is present with its stored size and
  // digest (it is read to tell); a present object that fails is counted as damaged.
  bool has_object(const ObjectRef& ref);

  std::uint64_t objects_written() const noexcept { return written_; }
  std::uint64_t objects_reused() const noexcept { return reused_; }
  // Distinct objects found damaged (and then replaced, unless the run failed).
  std::uint64_t objects_damaged() const;
  std::uint64_t bytes_written() const noexcept { return bytes_written_; }
  // Site-relative paths of the objects this writer put in place, in the order it did.
  std::vector<std::string> written_paths() const;

 private:
  std::filesystem::path temporary_path();
  ObjectRef commit(const std::filesystem::path& temporary, ObjectRef ref);
  // Writes `stored` as the object `ref` names, unless it is there already.
  ObjectRef write_object(std::span<const std::uint8_t> stored, const ObjectRef& ref);

  std::filesystem::path site_;
  int level_;
  std::atomic<std::uint64_t> counter_{0};
  std::atomic<std::uint64_t> written_{0};
  std::atomic<std::uint64_t> reused_{0};
  std::atomic<std::uint64_t> bytes_written_{0};
  struct FreeEncoder {
    void operator()(ZSTD_CCtx_s* encoder) const noexcept;
  };
  Pool<std::unique_ptr<ZSTD_CCtx_s, FreeEncoder>> encoders_;  // for chunks, kept between them
  mutable std::mutex written_mutex_;  // guards the two lists below
  std::vector<std::string> written_paths_;
  std::set<std::string> damaged_paths_;
};

// "v2/objects/xx/<64 hex>" under the site folder.
std::filesystem::path object_file(const std::filesystem::path& site, const ObjectRef& ref);

// Writes `bytes` to `target` through a temporary file in the same folder and a rename,
// after syncing it, so readers see the old or the new file, never a part.
void write_file_atomically(const std::filesystem::path& target, const std::string& bytes);

}  // namespace kaldren::patcher::publish
