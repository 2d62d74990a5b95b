// What a release's client will put on disk, known before anything is written: its
// manifest read and verified in memory, and the rule for how deep a folder may hold it.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "protocol/release.h"
#include "system/file_system.h"
#include "transport/transport.h"

namespace kaldren::patcher {

// MAX_PATH less its terminating zero: what Windows allows without long-path support.
inline constexpr std::size_t kMaxShortPath = 259;

// The manifest paths of the release's client, its manifest fetched through `transport`
// and verified in memory (the disk is not touched). Throws as the update's own reading
// of the manifest does.
std::vector<std::string> client_file_paths(Transport& transport, const Release& release, std::stop_token stop);

// The first of `paths` that would be longer under `root` than Windows allows, unless
// `fs` has long paths enabled; nothing when every one fits.
std::optional<std::string> too_deep_path(FileSystem& fs, const std::filesystem::path& root,
                                         const std::vector<std::string>& paths);

}  // namespace kaldren::patcher
