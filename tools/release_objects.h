// Everything a verified release reaches on a site: its client manifest, the object of
// each file, the chunk lists of large files (index, pages, chunks), its launcher. The one place that knows it, for verify, prune and promote.
#pragma once

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "protocol/manifest.h"
#include "protocol/release.h"

namespace kaldren::patcher::publish {

// One object reference a release reaches, named for messages by what uses it.
struct ReachedObject {
  ObjectRef ref;
  std::string name;  // "the client manifest", a file's path, or "the launcher"
};

struct ReleaseContent {
  ClientManifest manifest;
  // The manifest first, then each distinct file reference (named by its first file;
  // entries sharing a stored object may still declare different content), the objects
  // of chunk lists, then the launcher.
  std::vector<ReachedObject> objects;
};

// Reads the release's client manifest from the site and checks it as a launcher would
// (object digests, parse, validation against the release). ToolError naming the
// problem when it cannot.
ReleaseContent release_content(const std::filesystem::path& site, const Release& release);

// The site-relative paths ("v2/objects/xx/...") of every object `release` reaches.
// ToolError as release_content.
std::set<std::string> release_objects(const std::filesystem::path& site, const Release& release);

}  // namespace kaldren::patcher::publish
