// Releasing again what a site already holds, without copying or rewriting an object:
// a channel's release signed for another channel (promote), or the current release
// signed again with a new sequence and expiry (resign, a publisher's cron job).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "protocol/release.h"

namespace kaldren::patcher::publish {

struct ChannelRequest {
  std::filesystem::path site;
  std::string from;                          // the channel whose current release is signed again
  std::string to;                            // the channel it goes live on (resign: the same)
  std::vector<std::filesystem::path> keys;   // PEM private keys, 1 to 8
  std::optional<std::uint64_t> sequence;     // default: the target channel's current + 1
  std::optional<std::int64_t> expires_at;    // seconds since 1970 UTC; none: never expires
  std::string published_at;                  // default: now, UTC
};

struct ChannelSummary {
  Release release;
  std::vector<std::string> new_files;  // site-relative, in upload order
};

// Under the site's lock: verifies the current release of `from` with the keys, checks
// that every object it reaches is on the site with its stored size, and puts it live
// on `to` as that channel's next release. ToolError when anything fails; nothing is
// written then.
ChannelSummary release_again(const ChannelRequest& request);

}  // namespace kaldren::patcher::publish
