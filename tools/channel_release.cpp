#include "tools/channel_release.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fmt/format.h>

#include "core/error.h"
#include "core/owned_handle.h"
#include "core/version.h"
#include "core/wall_clock.h"
#include "protocol/utc_time.h"
#include "tools/object_writer.h"
#include "tools/site_history.h"

namespace kaldren::patcher::publish {
namespace {

std::string read_existing_release(const std::filesystem::path& path) {
  auto bytes = read_release_document(path);
  if (!bytes) throw ToolError(fmt::format("Could not read {}", path.string()));
  return *bytes;
}

// Objects and manifests must be on the disk before a release names them; a flush that
// failed is a publication that may lose them.
void flush_site(const std::filesystem::path& site) {
  UniqueDescriptor folder(::open(site.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0 || ::syncfs(folder.get()) != 0) {
    throw ToolError(fmt::format("Could not flush {} to its disk: {}; nothing was put live", site.string(),
                                std::strerror(errno)));
  }
}

}  // namespace

SigningKeys load_signing_keys(const std::vector<std::filesystem::path>& files) {
  if (files.empty()) throw ToolError("Give at least one signing key with --key");
  if (files.size() > kMaxReleaseSignatures)
    throw ToolError(fmt::format("At most {} signing keys can sign a release", kMaxReleaseSignatures));
  SigningKeys keys;
  for (const auto& path : files) {
    keys.keys.push_back(SigningKey::load(path));
    keys.public_keys.push_back(parse_release_key(keys.keys.back().public_key_hex()));
  }
  return keys;
}

std::uint64_t next_sequence(const std::filesystem::path& site, const std::string& channel,
                            std::span<const ReleaseKey> keys, std::optional<std::uint64_t> requested) {
  if (requested && *requested == 0) throw ToolError("The sequence must be 1 or more");
  const std::uint64_t highest = highest_published_sequence(site, channel);
  const auto path = site / release_path(channel);
  std::error_code error;
  if (!requested && std::filesystem::exists(path, error)) {
    try {
      verify_release(read_existing_release(path), keys);
    } catch (const PatchError& e) {
      throw ToolError(fmt::format("The current release {} cannot be read with the given keys ({}); "
                                  "pass --sequence to replace it",
                                  path.string(), e.what()));
    }
  }
  const std::uint64_t sequence = requested ? *requested : highest + 1;
  if (sequence <= highest) {
    throw ToolError(fmt::format("The sequence {} is not higher than the current release's {}; launchers would refuse it",
                                sequence, highest));
  }
  return sequence;
}

Release current_release(const std::filesystem::path& site, const std::string& channel,
                        std::span<const ReleaseKey> keys, const std::string& what_for) {
  const auto path = site / release_path(channel);
  std::error_code error;
  if (!std::filesystem::exists(path, error))
    throw ToolError(fmt::format("Channel {} has no release to {}", channel, what_for));
  try {
    Release release = verify_release(read_existing_release(path), keys);
    validate_release(release, channel);
    return release;
  } catch (const PatchError& e) {
    throw ToolError(fmt::format("The current release of channel {} cannot be verified with the given keys ({}); "
                                "nothing to {}",
                                channel, e.what(), what_for));
  }
}

ReleasePayload payload_of(const Release& release, const std::string& channel, std::uint64_t sequence,
                          const std::string& published_at, std::optional<std::int64_t> expires_at) {
  return {channel,
          sequence,
          published_at,
          version_text(release.client.version),
          release.client.executable,
          release.client.file_count,
          release.client.install_size,
          release.client.download_size,
          release.client.manifest,
          version_text(release.launcher.version),
          release.launcher.file,
          expires_at ? utc_time_text(*expires_at) : std::string()};
}

std::string utc_now_text() { return utc_time_text(system_wall_clock()); }

LiveRelease put_release_live(const std::filesystem::path& site, const std::string& channel, const ReleasePayload& payload,
                             const SigningKeys& keys, const std::function<void(const Release&)>& check) {
  const std::string envelope = sign_release(write_release_payload(payload), keys.keys);
  if (envelope.size() > kMaxReleaseDocumentBytes)
    throw ToolError(fmt::format("The release document would be {} bytes; the patch protocol allows 64 KiB", envelope.size()));

  // Read back what launchers will read, with the launcher's own code, before it goes live:
  // every key's signature must verify, not only one.
  std::vector<std::array<std::uint8_t, 65>> distinct;
  for (const ReleaseKey& key : keys.public_keys) {
    if (std::find(distinct.begin(), distinct.end(), key.point) == distinct.end()) distinct.push_back(key.point);
  }
  LiveRelease live;
  live.release = verify_release(envelope, keys.public_keys, distinct.size());
  validate_release(live.release, channel);
  if (live.release.expires_at && *live.release.expires_at <= system_wall_clock()) {
    throw ToolError(fmt::format("The expiry {} is not in the future; launchers would refuse the release",
                                utc_time_text(*live.release.expires_at)));
  }
  if (check) check(live.release);

  flush_site(site);
  // The history first: a release that went live is always in it.
  const std::string history = history_path(channel, live.release.sequence);
  write_file_atomically(site / history, envelope);
  write_file_atomically(site / release_path(channel), envelope);
  live.written = {history, release_path(channel)};
  return live;
}

}  // namespace kaldren::patcher::publish
