#include "tools/update_size.h"

#include <map>
#include <optional>
#include <set>
#include <string>

#include "tools/published_chunks.h"

namespace kaldren::patcher::publish {
namespace {

// What a player's copy of one earlier file offers: its chunks and its pages.
struct LocalOffer {
  std::set<Sha256Digest> chunks;
  std::set<Sha256Digest> pages;
};

}  // namespace

UpdateCost update_cost(const std::filesystem::path& site, const ObjectRef& to_manifest, const ClientManifest& from,
                       const ClientManifest& to) {
  UpdateCost cost{to_manifest.stored_size, 1};
  std::map<std::string, const ManifestFile*> from_by_path;
  std::set<Sha256Digest> from_content;
  for (const ManifestFile& file : from.files) {
    from_by_path.emplace(file.path, &file);
    from_content.insert(file.object.sha256);
  }
  std::map<std::string, std::optional<LocalOffer>> offers;  // by earlier path
  const auto offer_of = [&](const std::string& path) -> const std::optional<LocalOffer>& {
    auto [found, added] = offers.try_emplace(path);
    if (added) {
      if (const auto list = read_published_list(site, *from_by_path.at(path))) {
        found->second.emplace();
        for (const ObjectRef& chunk : list->chunks) found->second->chunks.insert(chunk.sha256);
        for (const ChunkPageRef& page : list->index.pages) found->second->pages.insert(page.fingerprint);
      }
    }
    return found->second;
  };

  std::map<Sha256Digest, std::vector<const ManifestFile*>> groups;  // content to fetch, and its files
  for (const ManifestFile& file : to.files) {
    const auto old = from_by_path.find(file.path);
    if (old == from_by_path.end() || old->second->object.sha256 != file.object.sha256) {
      groups[file.object.sha256].push_back(&file);
    }
  }
  std::set<Sha256Digest> fetched_chunks;
  for (const auto& [content, files] : groups) {
    if (from_content.contains(content)) continue;  // copied from the disk
    const ManifestFile& first = *files.front();
    const auto whole = [&] {
      cost.bytes += first.object.stored_size;
      cost.requests += 1;
    };
    const ManifestFile* holder = nullptr;
    std::vector<std::string> sources;
    for (const ManifestFile* file : files) {
      if (file->chunks && !holder) holder = file;
      if (from_by_path.contains(file->path)) sources.push_back(file->path);
    }
    if (!holder || (sources.empty() && from.files.empty())) {
      whole();
      continue;
    }
    const auto list = read_published_list(site, *holder);
    cost.bytes += holder->chunks->stored_size;
    cost.requests += 1;
    if (!list) {
      whole();
      continue;
    }
    for (const std::string& seed : list->index.seeds) {
      if (from_by_path.contains(seed)) sources.push_back(seed);
    }
    if (sources.empty()) {  // nothing on the disk to build it from
      whole();
      continue;
    }
    LocalOffer local;
    for (const std::string& source : sources) {
      if (const auto& offer = offer_of(source)) {
        local.chunks.insert(offer->chunks.begin(), offer->chunks.end());
        local.pages.insert(offer->pages.begin(), offer->pages.end());
      }
    }
    std::map<Sha256Digest, std::uint64_t> to_fetch;
    std::uint64_t list_bytes = 0;
    std::uint64_t list_requests = 0;
    bool reused = false;
    std::size_t next = 0;
    for (const ChunkPageRef& page : list->index.pages) {
      const std::size_t first_chunk = next;
      next += page.chunks;
      if (local.pages.contains(page.fingerprint)) {
        reused = true;
        continue;
      }
      list_bytes += page.page.stored_size;
      ++list_requests;
      for (std::size_t c = first_chunk; c < next; ++c) {
        const ObjectRef& chunk = list->chunks[c];
        if (local.chunks.contains(chunk.sha256)) {
          reused = true;
        } else {
          to_fetch.emplace(chunk.sha256, chunk.stored_size);
        }
      }
    }
    cost.bytes += list_bytes;
    cost.requests += list_requests;
    std::uint64_t fetch = 0;
    for (const auto& [digest, bytes] : to_fetch) fetch += bytes;
    if (!reused || fetch >= first.object.stored_size / 10 * 9) {
      whole();
      continue;
    }
    for (const auto& [digest, bytes] : to_fetch) {
      if (!fetched_chunks.insert(digest).second) continue;
      cost.bytes += bytes;
      cost.requests += 1;
    }
  }
  return cost;
}

}  // namespace kaldren::patcher::publish
