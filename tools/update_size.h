// What an update costs a player: the bytes and requests a launcher holding one release
// fetches to reach another, planned the way the launcher plans it (content on the disk
// is copied, large files are built from the chunks the player lacks).
#pragma once

#include <cstdint>
#include <filesystem>

#include "protocol/manifest.h"

namespace kaldren::patcher::publish {

struct UpdateCost {
  std::uint64_t bytes = 0;     // manifest, chunk lists, chunks and whole objects
  std::uint64_t requests = 0;
};

// Reads the chunk lists of both releases from the site; a list it cannot read counts
// its file as fetched whole. The player's files are assumed intact.
UpdateCost update_cost(const std::filesystem::path& site, const ObjectRef& to_manifest, const ClientManifest& from,
                       const ClientManifest& to);

}  // namespace kaldren::patcher::publish
