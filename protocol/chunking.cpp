#include "protocol/chunking.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <memory>

namespace kaldren::patcher {
namespace {

// The gear table: 256 fixed pseudo-random words. Stored chunk lists depend on every bit
// of it, so it is generated from a fixed seed (splitmix64) and must never change.
constexpr std::array<std::uint64_t, 256> make_gear_table() {
  std::array<std::uint64_t, 256> table{};
  std::uint64_t state = 0x6b616c6472656e31;  // "kaldren1"
  for (std::uint64_t& entry : table) {
    state += 0x9e3779b97f4a7c15;
    std::uint64_t z = state;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
    z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
    entry = z ^ (z >> 31);
  }
  return table;
}
constexpr std::array<std::uint64_t, 256> kGear = make_gear_table();

// The highest `bits` bits: with a left-shifting gear hash they depend on the last 64
// bytes, the low bits only on the last few.
constexpr std::uint64_t top_bits(unsigned bits) { return bits == 0 ? 0 : ~std::uint64_t{0} << (64 - bits); }

constexpr std::string_view kFingerprintDomain = "kaldren-lanternix/chunk-page/1\n";

}  // namespace

ChunkParams default_chunk_params() {
  ChunkParams params;
  params.min = 4096;
  params.average = 16384;
  params.max = 65536;
  params.page_min = 64;
  params.page_average = 256;
  params.page_max = 1024;
  return params;
}

bool valid_chunk_params(const ChunkParams& p) {
  return p.min >= kMinChunkBytesFloor && p.min <= p.average && p.average <= p.max && p.max <= kMaxChunkBytesCeiling &&
         std::has_single_bit(p.average) && p.page_min >= 1 && p.page_min <= p.page_average &&
         p.page_average <= p.page_max && p.page_max <= kMaxPageChunksCeiling && std::has_single_bit(p.page_average);
}

std::size_t chunk_length(std::span<const std::uint8_t> data, const ChunkParams& params) {
  const std::size_t size = std::min<std::size_t>(data.size(), params.max);
  if (size <= params.min) return size;
  // Normalised chunking: two bits stricter than the average before it, two looser
  // after, which gathers chunk sizes around the average.
  const unsigned bits = static_cast<unsigned>(std::countr_zero(params.average));
  const std::uint64_t strict = top_bits(bits + 2);
  const std::uint64_t loose = top_bits(bits > 2 ? bits - 2 : 0);
  const std::size_t middle = std::min<std::size_t>(params.average, size);
  std::uint64_t hash = 0;
  std::size_t i = params.min;
  for (; i < middle; ++i) {
    hash = (hash << 1) + kGear[data[i]];
    if ((hash & strict) == 0) return i + 1;
  }
  for (; i < size; ++i) {
    hash = (hash << 1) + kGear[data[i]];
    if ((hash & loose) == 0) return i + 1;
  }
  return size;
}

bool ends_page(const Sha256Digest& digest, std::uint64_t chunks_in_page, const ChunkParams& params) {
  if (chunks_in_page >= params.page_max) return true;
  if (chunks_in_page < params.page_min) return false;
  const std::uint32_t word = (std::uint32_t{digest[28]} << 24) | (std::uint32_t{digest[29]} << 16) |
                             (std::uint32_t{digest[30]} << 8) | std::uint32_t{digest[31]};
  return (word & (params.page_average - 1)) == 0;
}

PageFingerprint::PageFingerprint() { hash_.update(kFingerprintDomain); }

void PageFingerprint::add(const Sha256Digest& chunk, std::uint64_t size) {
  std::array<std::uint8_t, 40> entry{};
  std::copy(chunk.begin(), chunk.end(), entry.begin());
  for (int i = 0; i < 8; ++i) entry[32 + i] = static_cast<std::uint8_t>(size >> (56 - 8 * i));
  hash_.update(entry);
}

void cut_stream(const ChunkParams& params, const std::function<std::size_t(std::span<std::uint8_t>)>& read,
                const std::function<void(std::uint64_t, std::span<const std::uint8_t>)>& chunk) {
  // Several chunks per read; the bytes of a chunk not yet cut move to the front.
  const std::size_t capacity = std::max<std::size_t>(4u << 20, 2 * std::size_t{params.max});
  const auto buffer = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
  std::size_t start = 0;
  std::size_t filled = 0;
  bool at_end = false;
  std::uint64_t offset = 0;
  for (;;) {
    if (!at_end && filled - start < params.max) {
      std::memmove(buffer.get(), buffer.get() + start, filled - start);
      filled -= start;
      start = 0;
      while (!at_end && filled < capacity) {
        const std::size_t got = read({buffer.get() + filled, capacity - filled});
        at_end = got == 0;
        filled += got;
      }
    }
    if (start == filled) return;
    const std::span<const std::uint8_t> rest(buffer.get() + start, filled - start);
    const std::size_t length = chunk_length(rest.first(std::min<std::size_t>(rest.size(), params.max)), params);
    chunk(offset, rest.first(length));
    offset += length;
    start += length;
  }
}

}  // namespace kaldren::patcher
