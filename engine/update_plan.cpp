#include "engine/update_plan.h"

#include <algorithm>
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
                       const std::function<bool(const ObjectRef&)>& is_staged) {
  SpaceNeed need;
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const ObjectRef& object = groups[i].object;
    need.unpacked += object.size;
    need.transfer += object.stored_size;
    need.copies += object.size * (groups[i].files.size() - 1);
    if (i < download_threads) need.in_flight += object.stored_size;
    if (is_staged(object)) need.staged += object.size;
  }
  return need;
}

ReleaseRecord record_of(const Release& release) {
  return {release.sequence, release.client.version, release.client.manifest.sha256, release.client.executable};
}

}  // namespace kaldren::patcher
