#include "tools/chunk_publication.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>

#include <fmt/format.h>

#include "core/owned_handle.h"
#include "tools/file_cutter.h"
#include "tools/parallel_work.h"
#include "tools/published_chunks.h"
#include "tools/signing_key.h"
#include "tools/site_object.h"

namespace kaldren::patcher::publish {
namespace {

struct DigestHash {
  std::size_t operator()(const Sha256Digest& digest) const noexcept {
    std::size_t value = 0;
    std::memcpy(&value, digest.data(), sizeof value);
    return value;
  }
};

// A chunk some file of this release needs: where its bytes are first found, the files
// that hold it, and its object once known.
struct WantedChunk {
  std::size_t file = 0;  // index into the files being cut
  std::uint64_t offset = 0;
  std::uint32_t size = 0;
  std::vector<std::size_t> users;
  std::optional<ObjectRef> object;
};

// The published list of `file` when it still describes the same content with the
// same parameters: then it is simply named again.
// Returns the list's stored bytes (index and pages), or nothing.
std::optional<std::uint64_t> list_still_fits(const std::filesystem::path& site, const ManifestFile& current,
                                             const ChunkParams& params) {
  const auto bytes = read_site_document(site, *current.chunks);
  if (!bytes) return std::nullopt;
  try {
    const ChunkIndex index = parse_chunk_index(*bytes);
    if (!index.supported || index.params != params || index.size != current.object.size) return std::nullopt;
    std::uint64_t stored = current.chunks->stored_size;
    for (const ChunkPageRef& page : index.pages) stored += page.page.stored_size;
    return stored;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Up to kMaxChunkSeeds other paths sharing the most bytes with a file, when they share
// enough to be worth a launcher's reading (a quarter of the file, or 1 MiB).
std::vector<std::string> choose_seeds(std::map<std::string, std::uint64_t> shared, const std::string& own,
                                      std::uint64_t size) {
  shared.erase(own);
  const std::uint64_t enough = std::min<std::uint64_t>(1048576, size / 4);
  std::vector<std::pair<std::uint64_t, std::string>> ranked;
  for (auto& [path, bytes] : shared) {
    if (bytes >= enough) ranked.emplace_back(bytes, path);
  }
  std::sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : a.second < b.second;
  });
  std::vector<std::string> seeds;
  for (std::size_t i = 0; i < ranked.size() && i < kMaxChunkSeeds; ++i) seeds.push_back(ranked[i].second);
  return seeds;
}

std::vector<std::uint8_t> read_at(int fd, std::uint64_t offset, std::uint32_t size, const std::filesystem::path& file) {
  std::vector<std::uint8_t> bytes(size);
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::pread(fd, bytes.data() + done, size - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) throw ToolError(fmt::format("{} changed while it was published", file.string()));
    done += static_cast<std::size_t>(n);
  }
  return bytes;
}

}  // namespace

ChunkListSummary add_chunk_lists(const std::filesystem::path& site, ObjectWriter& objects,
                                 const std::vector<ClientFile>& files, std::vector<ManifestFile>& entries,
                                 const ClientManifest* current, const ChunkParams& params, unsigned threads,
                                 const std::function<void(const std::string&)>& progress) {
  ChunkListSummary summary;
  const std::uint64_t threshold = kChunkedFileAverages * params.average;
  std::map<std::pair<Sha256Digest, std::uint64_t>, const ManifestFile*> current_by_content;
  if (current) {
    for (const ManifestFile& file : current->files) {
      if (file.chunks) current_by_content.emplace(std::pair{file.object.sha256, file.object.size}, &file);
    }
  }

  // Unchanged content keeps its list; the rest is cut, each content once (files of the
  // same content share one list).
  std::vector<std::size_t> to_cut;
  std::map<std::pair<Sha256Digest, std::uint64_t>, std::size_t> first_of_content;
  std::vector<std::pair<std::size_t, std::size_t>> same_as;  // entry, entry it copies
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (entries[i].object.size < threshold) continue;
    ++summary.files;
    const std::pair content{entries[i].object.sha256, entries[i].object.size};
    if (const auto first = first_of_content.find(content); first != first_of_content.end()) {
      same_as.emplace_back(i, first->second);
      continue;
    }
    first_of_content.emplace(content, i);
    const auto known = current_by_content.find(content);
    const auto kept = known != current_by_content.end() ? list_still_fits(site, *known->second, params) : std::nullopt;
    if (kept) {
      entries[i].chunks = known->second->chunks;
      ++summary.lists_reused;
      summary.list_bytes += *kept;
    } else {
      to_cut.push_back(i);
    }
  }
  const auto copy_lists = [&] {
    for (const auto& [entry, first] : same_as) entries[entry].chunks = entries[first].chunks;
  };
  if (to_cut.empty()) {
    copy_lists();
    return summary;
  }
  progress(fmt::format("Cutting {} files into chunks", to_cut.size()));
  std::vector<std::vector<CutChunk>> cuts(to_cut.size());
  run_parallel(to_cut.size(), threads, [&](std::size_t k) {
    const ClientFile& file = files[to_cut[k]];
    cuts[k] = cut_file(file.location, params);
    std::uint64_t total = 0;
    for (const CutChunk& chunk : cuts[k]) total += chunk.size;
    if (total != entries[to_cut[k]].object.size) {
      throw ToolError(fmt::format("{} changed while it was published", file.location.string()));
    }
  });

  std::unordered_map<Sha256Digest, WantedChunk, DigestHash> wanted;
  for (std::size_t k = 0; k < cuts.size(); ++k) {
    for (const CutChunk& chunk : cuts[k]) {
      auto [found, added] = wanted.try_emplace(chunk.sha256, WantedChunk{k, chunk.offset, chunk.size, {}, {}});
      if (found->second.users.empty() || found->second.users.back() != k) found->second.users.push_back(k);
    }
  }
  // Which files of this release share content, for the seeds of each list.
  std::vector<std::map<std::string, std::uint64_t>> shared(cuts.size());
  for (std::size_t k = 0; k < cuts.size(); ++k) {
    for (const CutChunk& chunk : cuts[k]) {
      for (const std::size_t other : wanted.at(chunk.sha256).users) {
        if (other != k) shared[k][entries[to_cut[other]].path] += chunk.size;
      }
    }
  }
  // The current release's lists: chunks already published, and content shared with
  // files a launcher may still hold under their old names.
  if (current) {
    std::vector<const ManifestFile*> listed;
    for (const ManifestFile& file : current->files) {
      if (file.chunks) listed.push_back(&file);
    }
    std::mutex mutex;
    run_parallel(listed.size(), threads, [&](std::size_t n) {
      const auto list = read_published_list(site, *listed[n]);
      if (!list || list->index.params != params) return;
      const std::lock_guard guard(mutex);
      for (const ObjectRef& chunk : list->chunks) {
        const auto found = wanted.find(chunk.sha256);
        if (found == wanted.end() || found->second.size != chunk.size) continue;
        if (!found->second.object && objects.has_object(chunk)) found->second.object = chunk;
        for (const std::size_t k : found->second.users) shared[k][listed[n]->path] += chunk.size;
      }
    });
  }

  // New chunks become objects, a batch of one file's chunks per work item.
  std::vector<WantedChunk*> to_store;
  for (auto& [digest, chunk] : wanted) {
    if (chunk.object) {
      ++summary.chunks_reused;
    } else {
      to_store.push_back(&chunk);
    }
  }
  std::sort(to_store.begin(), to_store.end(), [](const WantedChunk* a, const WantedChunk* b) {
    return std::tie(a->file, a->offset) < std::tie(b->file, b->offset);
  });
  progress(fmt::format("Storing {} new chunks", to_store.size()));
  constexpr std::size_t kBatch = 64;
  run_parallel((to_store.size() + kBatch - 1) / kBatch, threads, [&](std::size_t batch) {
    int fd = -1;
    UniqueDescriptor open_file;
    std::size_t open_index = SIZE_MAX;
    for (std::size_t n = batch * kBatch; n < std::min(to_store.size(), (batch + 1) * kBatch); ++n) {
      WantedChunk& chunk = *to_store[n];
      const std::filesystem::path& location = files[to_cut[chunk.file]].location;
      if (chunk.file != open_index) {
        open_file.reset(::open(location.c_str(), O_RDONLY | O_CLOEXEC));
        fd = open_file.get();
        if (fd < 0) throw ToolError(fmt::format("Could not open {}: {}", location.string(), std::strerror(errno)));
        open_index = chunk.file;
      }
      const std::vector<std::uint8_t> bytes = read_at(fd, chunk.offset, chunk.size, location);
      const Sha256Digest digest = sha256(std::span<const std::uint8_t>(bytes));
      if (wanted.find(digest) == wanted.end() || &wanted.at(digest) != &chunk) {
        throw ToolError(fmt::format("{} changed while it was published", location.string()));
      }
      chunk.object = objects.store_chunk(bytes, digest);
    }
  });
  summary.chunks_new = to_store.size();

  // Pages and the index of every cut file.
  std::atomic<std::uint64_t> list_bytes{0};
  run_parallel(cuts.size(), threads, [&](std::size_t k) {
    ManifestFile& entry = entries[to_cut[k]];
    ChunkIndex index;
    index.params = params;
    index.size = entry.object.size;
    ChunkPage page;
    std::uint64_t span = 0;
    for (std::size_t c = 0; c < cuts[k].size(); ++c) {
      const CutChunk& chunk = cuts[k][c];
      page.chunks.push_back(*wanted.at(chunk.sha256).object);
      span += chunk.size;
      if (ends_page(chunk.sha256, page.chunks.size(), params) || c + 1 == cuts[k].size()) {
        ChunkPageRef ref;
        ref.chunks = page.chunks.size();
        ref.span = span;
        ref.fingerprint = page_fingerprint(page.chunks);
        ref.page = objects.store_bytes(write_chunk_page(page));
        list_bytes += ref.page.stored_size;
        index.pages.push_back(ref);
        page.chunks.clear();
        span = 0;
      }
    }
    index.seeds = choose_seeds(shared[k], entry.path, entry.object.size);
    validate_chunk_index(index, entry.path, entry.object.size);
    entry.chunks = objects.store_bytes(write_chunk_index(index));
    list_bytes += entry.chunks->stored_size;
  });
  summary.list_bytes += list_bytes;
  copy_lists();
  return summary;
}

}  // namespace kaldren::patcher::publish
