// Content-defined chunking of large files, shared by the publisher and the launcher:
// both must cut the same bytes at the same places, so that a launcher can tell which
// chunks of a new file it already holds by cutting its own files.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>

#include "protocol/crypto.h"

namespace kaldren::patcher {

// The one cutting method this launcher knows: a gear rolling hash with normalised
// chunk sizes (a stricter cut condition before the average size, a looser one after),
// and pages of chunks cut where a chunk's digest meets a condition.
inline constexpr std::string_view kChunkMethod = "gear-1";

// Bounds of the format: a chunk list declaring others is refused.
inline constexpr std::uint32_t kMinChunkBytesFloor = 64;
inline constexpr std::uint32_t kMaxChunkBytesCeiling = 1048576;  // 1 MiB
inline constexpr std::uint32_t kMaxPageChunksCeiling = 8192;

struct ChunkParams {
  std::uint32_t min = 0;      // no chunk but a file's last is shorter
  std::uint32_t average = 0;  // a power of two
  std::uint32_t max = 0;      // no chunk is longer
  std::uint32_t page_min = 0;      // chunks of a page, but a file's last page
  std::uint32_t page_average = 0;  // a power of two
  std::uint32_t page_max = 0;
  friend bool operator==(const ChunkParams&, const ChunkParams&) = default;
};

// What lanternix-publish uses unless told otherwise (chosen by measurement: see
// docs/delta-updates.md).
ChunkParams default_chunk_params();

// True when the sizes keep to the format's bounds and order (min <= average <= max,
// powers of two where required).
bool valid_chunk_params(const ChunkParams& params);

// Where the chunk that starts at data[0] ends: `data` holds the next min(max, rest of
// the file) bytes, so fewer than `max` bytes mean the file ends there. Returns the
// chunk's length (all of `data` when no cut point comes first).
std::size_t chunk_length(std::span<const std::uint8_t> data, const ChunkParams& params);

// Cuts a whole stream into chunks in order. `read` fills the start of its span and
// returns how many bytes it wrote (0 at the end; it throws on failure); `chunk` receives
// each chunk's offset and bytes, valid only during the call.
void cut_stream(const ChunkParams& params, const std::function<std::size_t(std::span<std::uint8_t>)>& read,
                const std::function<void(std::uint64_t, std::span<const std::uint8_t>)>& chunk);

// True when the chunk with `digest`, the `chunks_in_page`-th of its page (1 for the
// first), ends that page.
bool ends_page(const Sha256Digest& digest, std::uint64_t chunks_in_page, const ChunkParams& params);

// The digest of a page's content: its chunks' content digests and sizes in order. It
// names a page independently of how its chunks are stored, so a launcher can recognise
// a page it can rebuild from its own files without downloading it.
class PageFingerprint {
 public:
  PageFingerprint();
  void add(const Sha256Digest& chunk, std::uint64_t size);
  Sha256Digest finish() { return hash_.finish(); }

 private:
  Sha256 hash_;
};

}  // namespace kaldren::patcher
