// Turns published object references into verified files in the staging folder:
// download (resumable), stored-digest check, zstd unpacking with content-digest
// check, and only then the final name. Nothing that failed a digest gets that name.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <stop_token>
#include <string>

#include "core/pool.h"
#include "protocol/crypto.h"
#include "protocol/release.h"
#include "system/file_hash.h"
#include "system/file_system.h"
#include "transport/transport.h"

struct ZSTD_DCtx_s;

namespace kaldren::patcher {

struct FreeZstdDecoder {
  void operator()(ZSTD_DCtx_s* decoder) const noexcept;
};
using ZstdDecoder = std::unique_ptr<ZSTD_DCtx_s, FreeZstdDecoder>;

// Zstd decoders kept for the next object: a decoder's window (often megabytes) is
// otherwise mapped and cleared by the system anew for every object. The pool keeps at
// most 64 MiB of them, and none grown past the window a frame may ask for before its
// bytes are verified (8 MiB): a larger one, for a verified frame of up to 128 MiB, is
// freed after its object. All memory the decoders take is counted. Thread-safe.
class ZstdDecoders {
 public:
  ZstdDecoders();
  ZstdDecoders(const ZstdDecoders&) = delete;
  ZstdDecoders& operator=(const ZstdDecoders&) = delete;
  ~ZstdDecoders();

  // A decoder ready for a new frame: one kept, or a new one. PatchError internal when
  // zstd cannot make one.
  ZstdDecoder take();
  void give_back(ZstdDecoder decoder) noexcept;

  // The most bytes this pool's decoders held at one moment, and what it keeps now.
  std::uint64_t peak_bytes() const noexcept { return peak_.load(); }
  std::uint64_t kept_bytes() const { return kept_.kept_cost(); }

  // For the decoders' allocator.
  void count(std::int64_t bytes) noexcept;

 private:
  std::atomic<std::uint64_t> in_use_{0};
  std::atomic<std::uint64_t> peak_{0};
  Pool<ZstdDecoder> kept_;  // last: its decoders go before the counters
};

class ObjectStore {
 public:
  // `fs` and `transport` are not owned and must outlive the store; the transport
  // writes its downloads to the same file system.
  ObjectStore(FileSystem& fs, std::filesystem::path staging_folder, Transport& transport);
  // Logs (DEBUG) the most memory the zstd decoders took at once, when any unpacked.
  ~ObjectStore();

  // The staged content file of `ref` (named by its content digest), downloading and
  // verifying it unless a matching one is already there (checked again, and flushed).
  // `progress` gets the bytes of the stored object present so far.
  std::filesystem::path stage(const ObjectRef& ref, std::stop_token stop, const ByteProgress& progress = {});

  // Stages every reference on up to `threads` workers; references that share stored
  // bytes are staged by one worker, so those bytes are fetched once. progress(i, bytes
  // present) and done(i) are called from the workers, concurrently: the caller
  // serialises them.
  void stage_all(std::span<const ObjectRef> refs, std::uint32_t threads, std::stop_token stop,
                 const std::function<void(std::size_t, std::uint64_t)>& progress,
                 const std::function<void(std::size_t)>& done);

  // The whole content of a referenced document (at most 64 MiB).
  std::string read_document(const ObjectRef& ref, std::stop_token stop);

  // Where stage() puts the content of `ref`.
  std::filesystem::path staged_path(const ObjectRef& ref) const;

  // Files are staged in sub-folders named by the first two hex digits of their
  // digest (under Wine every new name makes the system read its whole folder, so one
  // folder of thousands of names grows quadratically). A staging folder an earlier
  // launcher filled flat is taken over here: its staged and partial files move into
  // their sub-folders to be reused or resumed, and anything else in it (unpacking
  // remnants, unknown names) is deleted. Never throws: what stays is removed with the
  // staging folder after the next install.
  void adopt_flat_layout() noexcept;

  // Deletes every staged, partial or unpacking file that none of `refs` needs: what an
  // interrupted update to another release left would otherwise hold disk space the
  // next update asks for. Never throws.
  void keep_only(std::span<const ObjectRef> refs) noexcept;

  const std::filesystem::path& staging_folder() const noexcept { return staging_folder_; }
  const ZstdDecoders& decoders() const noexcept { return decoders_; }

 private:
  // A staged file's path from its digest in hex.
  std::filesystem::path path_of(const std::string& hex) const;

  // Unpacks `source` to `target`.tmp, hashing the stored bytes on the way, and gives
  // the content the name `target` once both digests hold: false (no file left) when
  // the stored bytes are not the published ones. Content that does not verify from the
  // published bytes is a fault of the publication: PatchError security, and `source`
  // is removed too.
  bool unpack_into(const ObjectRef& ref, const std::filesystem::path& source, const std::filesystem::path& target,
                   const std::string& publication_path, std::stop_token stop, std::span<std::uint8_t> buffer);

  FileSystem& fs_;
  std::filesystem::path staging_folder_;
  Transport& transport_;
  HashBuffers buffers_;    // shared by the staging workers
  ZstdDecoders decoders_;  // likewise
};

// Unpacks exactly one zstd frame (window at most 128 MiB) of exactly `content_size`
// bytes from `source` to `target`; returns the SHA-256 of the bytes written.
// Malformed input: PatchError security "A downloaded file could not be unpacked: ...".
Sha256Digest unpack_zstd(FileSystem& fs, const std::filesystem::path& source, const std::filesystem::path& target,
                         std::uint64_t content_size, std::stop_token stop);

// The same through the caller's output buffer (any size above zero) and a decoder of
// `decoders`, also hashing every stored byte it reads: when it returns, `stored` is the
// digest of the whole source. Given the digest the stored bytes must have, no decoder
// sees bytes that do not have it when that is cheap to know first (the source fits one
// read) or when the frame asks for more than an 8 MiB window: the source is hashed
// first, and a mismatch returns at once with `content` zero and no target written.
struct UnpackDigests {
  Sha256Digest content;
  Sha256Digest stored;
};
UnpackDigests unpack_zstd(FileSystem& fs, const std::filesystem::path& source, const std::filesystem::path& target,
                          std::uint64_t content_size, std::stop_token stop, std::span<std::uint8_t> output_buffer,
                          ZstdDecoders& decoders, const std::optional<Sha256Digest>& stored_sha256 = std::nullopt);

}  // namespace kaldren::patcher
