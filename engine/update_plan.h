// What an update has to fetch: the distinct objects behind the files to update, and
// the free disk space downloading and installing them needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "engine/launcher_state.h"
#include "protocol/manifest.h"

namespace kaldren::patcher {

inline constexpr std::uint64_t kSpaceReserveBytes = 67108864;  // 64 MiB for the state files and the log

// One object to download and the files installed from it.
struct ObjectGroup {
  ObjectRef object;
  std::vector<std::size_t> files;  // indices into the manifest's files, manifest order
};

// One group per distinct content among `to_update` (indices into `files`, ascending),
// largest stored size first; equal sizes keep manifest order.
std::vector<ObjectGroup> group_objects(std::span<const ManifestFile> files, std::span<const std::size_t> to_update);

struct SpaceNeed {
  std::uint64_t unpacked = 0;   // content bytes of all objects
  std::uint64_t transfer = 0;   // stored bytes to download (whole objects and chunks)
  std::uint64_t copies = 0;     // content bytes installed by copy (objects used by several files)
  std::uint64_t in_flight = 0;  // stored bytes of the downloads running at once (the largest)
  std::uint64_t staged = 0;     // content bytes already staged
  std::uint64_t chunks = 0;     // content bytes of chunks staged beside the files built from them
  std::uint64_t needed() const { return unpacked + in_flight + copies + chunks - staged + kSpaceReserveBytes; }
};

// `groups` sorted as group_objects returns them; `is_staged` tells whether an object's
// content is already staged in full; `built` whether a group is built from local data
// and `chunks` (not downloaded whole); `chunks` are the chunks to download for those.
SpaceNeed space_needed(std::span<const ObjectGroup> groups, std::uint32_t download_threads,
                       const std::function<bool(const ObjectRef&)>& is_staged,
                       const std::function<bool(std::size_t group)>& built = {},
                       std::span<const ObjectRef> chunks = {});

// The release as the launcher state remembers it.
ReleaseRecord record_of(const Release& release);

}  // namespace kaldren::patcher
