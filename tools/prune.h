// Removing from a site the objects no release worth keeping reaches.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "protocol/release.h"

namespace kaldren::patcher::publish {

struct PruneRequest {
  std::filesystem::path site;
  std::uint64_t keep = 0;          // the newest releases of each channel to keep (the current one always stays)
  std::vector<ReleaseKey> keys;    // every key that signed a release or history document of the site
  bool dry_run = false;            // tell, remove nothing
};

struct RemovedObject {
  std::string path;  // site-relative
  std::uint64_t bytes = 0;
};

struct PruneSummary {
  std::vector<RemovedObject> removed;  // in the order they went (or would go)
  std::uint64_t bytes = 0;
  std::uint64_t kept_releases = 0;
  std::uint64_t kept_objects = 0;
};

// Under the site's lock: verifies every release and history document of every channel
// (ToolError naming the first that does not verify, and removing nothing), keeps what the
// newest `keep` releases of each channel and every current release reach, and removes
// every other object: first the manifests of releases no longer kept (a launcher still
// reading such a release from a stale copy then fails before it downloads anything),
// then the rest. History documents stay. `progress` gets one line per object.
PruneSummary prune_site(const PruneRequest& request, const std::function<void(const std::string&)>& progress);

}  // namespace kaldren::patcher::publish
