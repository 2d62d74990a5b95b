// The releases a site ever published: each publish keeps the signed release of every
// sequence under its channel (v2/channels/<channel>/history/<sequence>.json), beside
// the current release.json. Launchers never read the history.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/release.h"

namespace kaldren::patcher::publish {

// The bytes of a release document (one byte past the protocol's cap at most, so an
// oversized one still fails as such); nothing when it cannot be read.
std::optional<std::string> read_release_document(const std::filesystem::path& path);

// "v2/channels/<channel>/history/<sequence>.json"
std::string history_path(const std::string& channel, std::uint64_t sequence);

// The channels of a site, sorted: folders under v2/channels holding a release or a history.
std::vector<std::string> site_channels(const std::filesystem::path& site);

struct PublishedRelease {
  Release release;
  std::string document;   // the signed bytes
  bool current = false;   // the channel's release.json holds it
};

// Every release of `channel` the site holds, its history and its current release,
// each verified with `keys` (any one signature will do) and checked to belong there
// (its channel, and the sequence its history name gives); oldest first, one per
// sequence. ToolError naming the first document that fails.
std::vector<PublishedRelease> channel_releases(const std::filesystem::path& site, const std::string& channel,
                                               std::span<const ReleaseKey> keys);

// The highest sequence the channel's current release and history carry, read without
// checking signatures (a release signed by other keys still reached launchers, which
// refuse anything lower); 0 when there is none that can be read.
std::uint64_t highest_published_sequence(const std::filesystem::path& site, const std::string& channel);

}  // namespace kaldren::patcher::publish
