#include "engine/update_plan.h"

#include <algorithm>
#include <functional>
#include <map>

namespace kaldren::patcher {

std::vector<ObjectGroup> group_objects(std::span<const ManifestFile> files, std::span<const std::size_t> to_update) {
  std::vector<ObjectGroup> groups;
  // Staged files are named by content digest, so equal content is one download.
  std::map<Sha256Digest, std::size_t> group_of_content;
  for (const std::size_t index : to_update) {
    const ObjectRef& object = files[index].object;
    const auto [found, added] = group_of_content.try_emplace(object.sha256, groups.size());
    if (added) groups.push_back({object, {}});
    groups[found->second].files.push_back(index);
  }
  // Largest first, so that the parallel downloads tend to end together.
  std::stable_sort(groups.begin(), groups.end(), [](const ObjectGroup& a, const ObjectGroup& b) {
    return a.object.stored_size > b.object.stored_size;
  });
  return groups;
}

SpaceNeed space_needed(std::span<const ObjectGroup> groups, std::uint32_t download_threads,
                       const std::function<bool(const ObjectRef&)>& is_staged,
                       const std::function<bool(std::size_t group)>& built, std::span<const ObjectRef> chunks) {
  SpaceNeed need;
  std::vector<std::uint64_t> downloads;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const ObjectRef& object = groups[i].object;
    need.unpacked += object.size;
    need.copies += object.size * (groups[i].files.size() - 1);
    if (is_staged(object)) need.staged += object.size;
    if (built && built(i)) continue;
    need.transfer += object.stored_size;
    downloads.push_back(object.stored_size);
  }
  for (const ObjectRef& chunk : chunks) {
    need.transfer += chunk.stored_size;
    need.chunks += chunk.size;
    downloads.push_back(chunk.stored_size);
  }
  // The largest download at once on every worker, each beside its partial file.
  const std::size_t running = std::min<std::size_t>(download_threads, downloads.size());
  std::partial_sort(downloads.begin(), downloads.begin() + static_cast<std::ptrdiff_t>(running), downloads.end(),
                    std::greater<>());
  for (std::size_t i = 0; i < running; ++i) need.in_flight += downloads[i];
  return need;
}

ReleaseRecord record_of(const Release& release) {
  return {release.sequence, release.client.version, release.client.manifest.sha256, release.client.executable};
}

}  // namespace kaldren::patcher
