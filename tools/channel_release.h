// Putting a signed release of a channel live: the next sequence, the signatures read
// back as launchers read them, the site flushed, then the history document and the
// channel's release.json, each replaced in one step.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "protocol/release.h"
#include "tools/signing_key.h"

namespace kaldren::patcher::publish {

// The publisher's private keys and the public keys launchers check them with.
struct SigningKeys {
  std::vector<SigningKey> keys;
  std::vector<ReleaseKey> public_keys;
};

// Loads 1 to 8 PEM keys; ToolError otherwise.
SigningKeys load_signing_keys(const std::vector<std::filesystem::path>& files);

// The sequence of the channel's next release: `requested`, else the current one + 1.
// ToolError when `requested` is not above every sequence the channel ever published
// (signed by any key: launchers refuse a lower one), or when no sequence is requested
// and the current release cannot be verified with `keys`.
std::uint64_t next_sequence(const std::filesystem::path& site, const std::string& channel,
                            std::span<const ReleaseKey> keys, std::optional<std::uint64_t> requested);

// The channel's current release verified with `keys`; ToolError naming `what_for` when
// there is none or it does not verify.
Release current_release(const std::filesystem::path& site, const std::string& channel,
                        std::span<const ReleaseKey> keys, const std::string& what_for);

// The payload of `release` for `channel` as a new release `sequence`, published at
// `published_at`, expiring at `expires_at` (seconds since 1970 UTC) when given.
ReleasePayload payload_of(const Release& release, const std::string& channel, std::uint64_t sequence,
                          const std::string& published_at, std::optional<std::int64_t> expires_at);

// Now, as the payload's published_at spells it.
std::string utc_now_text();

// Signs `payload` with every key, reads the document back with the launcher's own code
// (each key's signature, the channel, limits, an expiry in the future, then `check`),
// flushes the site to its disk, and writes the history document and release.json of
// the channel. Returns the release and the paths written, in upload order.
struct LiveRelease {
  Release release;
  std::vector<std::string> written;
};
LiveRelease put_release_live(const std::filesystem::path& site, const std::string& channel, const ReleasePayload& payload,
                             const SigningKeys& keys, const std::function<void(const Release&)>& check);

}  // namespace kaldren::patcher::publish
