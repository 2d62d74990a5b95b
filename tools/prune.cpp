#include "tools/prune.h"

#include <algorithm>
#include <set>

#include <fmt/format.h>

#include "core/text.h"
#include "protocol/manifest.h"
#include "tools/release_objects.h"
#include "tools/signing_key.h"
#include "tools/site_history.h"
#include "tools/site_lock.h"

namespace kaldren::patcher::publish {
namespace {

bool is_hex(const std::string& text) { return text.find_first_not_of("0123456789abcdef") == std::string::npos; }

// Every file under v2/objects named as an object ("xx/<64 hex>" with xx its first two).
std::vector<std::string> stored_objects(const std::filesystem::path& site) {
  std::vector<std::string> paths;
  std::error_code error;
  for (const auto& folder : std::filesystem::directory_iterator(site / "v2" / "objects", error)) {
    const std::string prefix = folder.path().filename().string();
    if (!folder.is_directory(error) || prefix.size() != 2 || !is_hex(prefix)) continue;
    for (const auto& entry : std::filesystem::directory_iterator(folder.path(), error)) {
      const std::string name = entry.path().filename().string();
      if (entry.is_regular_file(error) && name.size() == 64 && is_hex(name) && name.starts_with(prefix)) {
        paths.push_back("v2/objects/" + prefix + "/" + name);
      }
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

}  // namespace

PruneSummary prune_site(const PruneRequest& request, const std::function<void(const std::string&)>& progress) {
  if (request.keys.empty()) throw ToolError("Give the public key of every key that signed this site with --key-hex");
  SiteLock lock(request.site);

  // Read everything before removing anything: a document that does not verify may be a
  // release players use, and what it reaches is unknown.
  std::set<std::string> kept;
  std::set<std::string> old_manifests;
  PruneSummary summary;
  for (const std::string& channel : site_channels(request.site)) {
    std::vector<PublishedRelease> releases;
    try {
      releases = channel_releases(request.site, channel, request.keys);
    } catch (const ToolError& e) {
      throw ToolError(fmt::format("Refusing to prune: {}", e.what()));
    }
    const std::size_t first_kept = releases.size() > request.keep ? releases.size() - request.keep : 0;
    for (std::size_t i = 0; i < releases.size(); ++i) {
      const Release& release = releases[i].release;
      if (i < first_kept && !releases[i].current) {
        old_manifests.insert(object_path(release.client.manifest));
        continue;
      }
      try {
        const std::set<std::string> reached = release_objects(request.site, release);
        kept.insert(reached.begin(), reached.end());
      } catch (const ToolError& e) {
        throw ToolError(fmt::format("Refusing to prune: release {} of channel {} cannot be read: {}",
                                    release.sequence, channel, e.what()));
      }
      ++summary.kept_releases;
    }
  }
  summary.kept_objects = kept.size();

  std::vector<RemovedObject> manifests;
  std::vector<RemovedObject> others;
  for (const std::string& path : stored_objects(request.site)) {
    if (kept.contains(path)) continue;
    std::error_code error;
    const std::uint64_t bytes = std::filesystem::file_size(request.site / path, error);
    (old_manifests.contains(path) ? manifests : others).push_back({path, error ? 0 : bytes});
  }
  summary.removed = std::move(manifests);
  summary.removed.insert(summary.removed.end(), others.begin(), others.end());

  for (const RemovedObject& object : summary.removed) {
    if (!request.dry_run) {
      std::error_code error;
      std::filesystem::remove(request.site / object.path, error);
      if (error) {
        throw ToolError(fmt::format("Could not remove {}: {} ({} of {} objects removed)", object.path, error.message(),
                                    &object - summary.removed.data(), summary.removed.size()));
      }
      // An emptied folder goes too; the next publish makes it again when it needs it.
      std::filesystem::remove((request.site / object.path).parent_path(), error);
    }
    summary.bytes += object.bytes;
    progress(fmt::format("{} {} ({})", request.dry_run ? "would remove" : "removed", object.path,
                         format_size(object.bytes)));
  }
  return summary;
}

}  // namespace kaldren::patcher::publish
