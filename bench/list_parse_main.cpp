// What reading the description of a large client costs a launcher: the manifest of a
// 100 GiB client of 1 GiB archives (each with a chunk list reference) and the chunk list
// of one 1 GiB archive at the default chunk sizes, written and then parsed and checked
// as an update does. Prints bytes and the best of five parse times.
// usage: list_parse [ARCHIVES (100)]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "protocol/chunk_list.h"
#include "protocol/manifest.h"

using namespace kaldren::patcher;

namespace {

Sha256Digest digest_of(std::uint64_t n) { return sha256(std::to_string(n)); }

ObjectRef ref_of(std::uint64_t n, std::uint64_t size) {
  ObjectRef ref;
  ref.sha256 = ref.stored_sha256 = digest_of(n);
  ref.size = ref.stored_size = size;
  return ref;
}

double best_seconds(const std::function<void()>& run) {
  double best = 1e9;
  for (int i = 0; i < 5; ++i) {
    const auto start = std::chrono::steady_clock::now();
    run();
    best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t archives = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 100;
  constexpr std::uint64_t kArchive = 1ull << 30;
  std::vector<ManifestFile> files;
  for (std::uint64_t i = 0; i < archives; ++i) {
    ManifestFile file;
    file.path = "data/archive" + std::to_string(i) + ".pak";
    file.object = ref_of(i, kArchive);
    file.chunks = ref_of(1000000 + i, 70000);
    files.push_back(file);
  }
  const std::string manifest = write_client_manifest("1.0.0", files);
  const double manifest_seconds = best_seconds([&] { parse_client_manifest(manifest); });

  // One archive's list: 16 KiB chunks (65536 per GiB) in pages of 256.
  const ChunkParams params = default_chunk_params();
  ChunkIndex index;
  index.params = params;
  index.size = kArchive;
  std::vector<std::string> pages;
  std::vector<ObjectRef> chunks;
  for (std::uint64_t n = 0; n < kArchive / params.average; ++n) {
    chunks.push_back(ref_of(n, params.average));
    if (chunks.size() == params.page_average || (n + 1) * params.average == kArchive) {
      pages.push_back(write_chunk_page({chunks}));
      index.pages.push_back({ref_of(n, pages.back().size()), chunks.size(), chunks.size() * params.average,
                             page_fingerprint(chunks)});
      chunks.clear();
    }
  }
  const std::string index_document = write_chunk_index(index);
  std::uint64_t page_bytes = 0;
  for (const std::string& page : pages) page_bytes += page.size();
  const double list_seconds = best_seconds([&] {
    const ChunkIndex parsed = parse_chunk_index(index_document);
    validate_chunk_index(parsed, "data/archive.pak", kArchive);
    for (std::size_t i = 0; i < pages.size(); ++i) {
      validate_chunk_page(parse_chunk_page(pages[i]), parsed.pages[i], parsed.params, i + 1 == pages.size(),
                          "data/archive.pak");
    }
  });
  std::printf("manifest of %llu archives of 1 GiB: %zu bytes (%.0f bytes per GiB), parsed in %.2f ms\n",
              static_cast<unsigned long long>(archives), manifest.size(),
              static_cast<double>(manifest.size()) / static_cast<double>(archives), manifest_seconds * 1e3);
  std::printf("chunk list of one 1 GiB archive: index %zu bytes, %zu pages of %llu bytes in all, "
              "parsed and checked in %.1f ms\n",
              index_document.size(), pages.size(), static_cast<unsigned long long>(page_bytes), list_seconds * 1e3);
  return 0;
}
