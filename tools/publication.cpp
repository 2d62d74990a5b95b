#include "tools/publication.h"

#include <unistd.h>
#include <fcntl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <exception>
#include <fstream>
#include <map>
#include <set>
#include <mutex>
#include <sstream>
#include <thread>

#include <fmt/format.h>

#include "core/error.h"
#include "core/version.h"
#include "protocol/manifest.h"
#include "protocol/release.h"
#include "protocol/utc_time.h"
#include "tools/channel_release.h"
#include "tools/client_folder.h"
#include "tools/chunk_publication.h"
#include "tools/install_marks.h"
#include "tools/object_writer.h"
#include "tools/parallel_work.h"
#include "tools/signing_key.h"
#include "tools/site_history.h"
#include "tools/site_object.h"
#include "tools/site_lock.h"

namespace kaldren::patcher::publish {
namespace {

bool valid_channel(const std::string& channel) {
  if (channel.empty() || channel.size() > 32) return false;
  auto lower_or_digit = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
  if (!lower_or_digit(channel[0])) return false;
  return std::all_of(channel.begin(), channel.end(), [&](char c) { return lower_or_digit(c) || c == '-' || c == '_'; });
}

Version require_version(const std::string& text, const char* what) {
  auto version = parse_version(text);
  if (!version) throw ToolError(fmt::format("{} \"{}\" is not a version (expected major.minor.patch)", what, text));
  return *version;
}

std::string read_small_file(const std::filesystem::path& path, std::size_t cap) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ToolError(fmt::format("Could not read {}", path.string()));
  std::string bytes;
  bytes.resize(cap + 1);
  in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

// Earlier releases whose update cost publish reports: each costs a read of their lists.
constexpr std::size_t kUpdateCostsShown = 8;

struct ContentKey {
  Sha256Digest sha256;
  std::uint64_t size;
  bool operator<(const ContentKey& other) const {
    return std::tie(sha256, size) < std::tie(other.sha256, other.size);
  }
};

// The channel's current release and manifest, read with the publisher's own keys,
// so that unchanged content is not compressed again and the sequence moves on.
struct CurrentRelease {
  Release release;
  std::optional<ClientManifest> manifest;
  std::map<ContentKey, ObjectRef> objects;
};

std::optional<CurrentRelease> read_current_release(const std::filesystem::path& site, const std::string& channel,
                                                   const std::vector<ReleaseKey>& keys) {
  auto path = site / release_path(channel);
  std::error_code error;
  if (!std::filesystem::exists(path, error)) return std::nullopt;
  CurrentRelease current;
  try {
    current.release = verify_release(read_small_file(path, kMaxReleaseDocumentBytes), keys);
  } catch (const PatchError&) {
    return std::nullopt;  // another publisher's: next_sequence has decided it may be replaced
  }
  // The manifest only speeds things up; a missing or damaged one just means more work.
  try {
    if (const auto bytes = read_site_document(site, current.release.client.manifest)) {
      current.manifest = parse_client_manifest(*bytes);
      for (const auto& file : current.manifest->files)
        current.objects.emplace(ContentKey{file.object.sha256, file.object.size}, file.object);
    }
  } catch (const std::exception&) {
    current.manifest.reset();
  }
  return current;
}

// What players on each earlier release still on the site (its manifest still there)
// download to reach the new one, the newest first.
std::vector<PublishSummary::UpdateFrom> update_costs(const std::filesystem::path& site, const std::string& channel,
                                                     const std::vector<ReleaseKey>& keys, std::uint64_t sequence,
                                                     const ObjectRef& manifest_ref, const ClientManifest& published) {
  std::vector<PublishSummary::UpdateFrom> costs;
  std::vector<PublishedRelease> earlier;
  try {
    earlier = channel_releases(site, channel, keys);
  } catch (const ToolError&) {
    return costs;  // a history another key signed: nothing to compare with
  }
  std::set<Sha256Digest> seen{manifest_ref.sha256};
  for (auto it = earlier.rbegin(); it != earlier.rend() && costs.size() < kUpdateCostsShown; ++it) {
    if (it->release.sequence == sequence || !seen.insert(it->release.client.manifest.sha256).second) continue;
    const auto bytes = read_site_document(site, it->release.client.manifest);
    if (!bytes) continue;  // pruned
    try {
      costs.push_back({it->release.sequence, update_cost(site, manifest_ref, parse_client_manifest(*bytes), published)});
    } catch (const PatchError&) {
    }
  }
  return costs;
}

}  // namespace

PublishSummary publish_client(const PublishRequest& request,
                              const std::function<void(const std::string&)>& progress) {
  // Everything the launcher would refuse is refused here, before any byte is written.
  if (!valid_channel(request.channel))
    throw ToolError(fmt::format("The channel \"{}\" must be 1-32 lowercase letters, digits, - or _", request.channel));
  Version client_version = require_version(request.version, "The client version");
  (void)client_version;
  Version launcher_version = require_version(request.launcher_version, "The launcher version");
  if (launcher_version.major > kMaxLauncherVersionPart || launcher_version.minor > kMaxLauncherVersionPart ||
      launcher_version.patch > kMaxLauncherVersionPart)
    throw ToolError(fmt::format("The launcher version {} does not fit a Windows version resource (parts up to 65535)",
                                request.launcher_version));
  if (request.level < 0 || request.level > 19) throw ToolError("The compression level must be 0 (none) to 19");
  if (request.sequence && *request.sequence == 0) throw ToolError("The sequence must be 1 or more");

  const SigningKeys signing = load_signing_keys(request.keys);
  const std::vector<ReleaseKey>& public_keys = signing.public_keys;

  std::error_code error;
  auto launcher_size = std::filesystem::file_size(request.launcher, error);
  if (error || !std::filesystem::is_regular_file(request.launcher, error))
    throw ToolError(fmt::format("The launcher {} is not a readable file", request.launcher.string()));
  if (launcher_size > kMaxLauncherBytes)
    throw ToolError(fmt::format("The launcher {} is larger than the patch protocol allows (256 MiB)", request.launcher.string()));

  progress(fmt::format("Reading {}", request.client.string()));
  auto files = scan_client_folder(request.client, request.executable);
  const std::vector<bool> install_if_missing =
      mark_install_if_missing(files, request.install_if_missing, request.executable);

  // One publisher at a time from here on: two would take the same next sequence.
  SiteLock lock(request.site);
  const std::uint64_t sequence = next_sequence(request.site, request.channel, public_keys, request.sequence);
  auto current = read_current_release(request.site, request.channel, public_keys);
  std::uint64_t install_size = 0;
  for (const auto& file : files) install_size += file.size;
  unsigned threads = request.threads ? request.threads : std::max(1u, std::thread::hardware_concurrency());

  PublishSummary summary;
  // Pass 1: the content digest of every file.
  std::vector<ContentDigest> contents(files.size());
  std::atomic<std::uint64_t> hashed{0};
  auto last_report = std::chrono::steady_clock::now();
  std::mutex report_mutex;
  auto report = [&](const char* what, std::uint64_t done, std::uint64_t total) {
    std::lock_guard lock(report_mutex);
    auto now = std::chrono::steady_clock::now();
    if (done != total && now - last_report < std::chrono::seconds(2)) return;
    last_report = now;
    progress(fmt::format("{} {}/{} files", what, done, total));
  };
  run_parallel(files.size(), threads, [&](std::size_t i) {
    contents[i] = hash_file(files[i].location);
    if (contents[i].size != files[i].size)
      throw ToolError(fmt::format("{} changed while it was published", files[i].location.string()));
    report("Hashed", hashed.fetch_add(1) + 1, files.size());
  });

  // Pass 2: one object per distinct content; unchanged content keeps its object.
  ObjectWriter objects(request.site, request.level);
  std::map<ContentKey, std::size_t> first_of;
  std::vector<std::size_t> distinct;
  for (std::size_t i = 0; i < files.size(); ++i)
    if (first_of.emplace(ContentKey{contents[i].sha256, contents[i].size}, i).second) distinct.push_back(i);
  std::vector<ObjectRef> distinct_refs(distinct.size());
  std::atomic<std::uint64_t> stored{0};
  run_parallel(distinct.size(), threads, [&](std::size_t k) {
    std::size_t i = distinct[k];
    ContentKey key{contents[i].sha256, contents[i].size};
    if (current) {
      auto known = current->objects.find(key);
      if (known != current->objects.end() && objects.has_object(known->second)) {
        distinct_refs[k] = objects.store_known(known->second);
        report("Stored", stored.fetch_add(1) + 1, distinct.size());
        return;
      }
    }
    distinct_refs[k] = objects.store_file(files[i].location, contents[i]);
    report("Stored", stored.fetch_add(1) + 1, distinct.size());
  });
  std::map<ContentKey, ObjectRef> ref_of;
  std::uint64_t download_size = 0;
  for (std::size_t k = 0; k < distinct.size(); ++k) {
    std::size_t i = distinct[k];
    ref_of.emplace(ContentKey{contents[i].sha256, contents[i].size}, distinct_refs[k]);
    download_size += distinct_refs[k].stored_size;
  }
  std::vector<ObjectRef> refs(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) refs[i] = ref_of.at(ContentKey{contents[i].sha256, contents[i].size});

  std::vector<ManifestFile> entries;
  entries.reserve(files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    entries.push_back({files[i].path, refs[i], std::nullopt, install_if_missing[i]});
  }
  // Large files also get chunk lists, so that launchers fetch only what changed in them.
  if (request.chunk_params.average != 0) {
    const ClientManifest* listed = current && current->manifest ? &*current->manifest : nullptr;
    summary.chunk_lists = add_chunk_lists(request.site, objects, files, entries, listed, request.chunk_params,
                                          threads, progress);
  }
  std::string manifest = write_client_manifest(request.version, entries);
  if (manifest.size() > kMaxManifestDocumentBytes)
    throw ToolError(fmt::format("The client manifest would be {} bytes; the patch protocol allows 64 MiB", manifest.size()));
  ObjectRef manifest_ref = objects.store_bytes(manifest);
  ObjectRef launcher_ref = objects.store_file(request.launcher, hash_file(request.launcher));

  ReleasePayload payload{request.channel, sequence, request.published_at.empty() ? utc_now_text() : request.published_at,
                         request.version, request.executable, files.size(), install_size, download_size, manifest_ref,
                         request.launcher_version, launcher_ref,
                         request.expires_at ? utc_time_text(*request.expires_at) : std::string()};
  LiveRelease live = put_release_live(request.site, request.channel, payload, signing, [&](const Release& check) {
    validate_client_manifest(parse_client_manifest(manifest), check);
  });

  summary.updates = update_costs(request.site, request.channel, public_keys, sequence, manifest_ref,
                                 parse_client_manifest(manifest));

  summary.sequence = sequence;
  summary.files = files.size();
  summary.install_bytes = install_size;
  summary.objects_new = objects.objects_written();
  summary.objects_reused = objects.objects_reused();
  summary.objects_damaged = objects.objects_damaged();
  // Upload order: the content and the launcher, then the manifest that names them, then
  // the release documents that name the manifest.
  const std::string manifest_path = object_path(manifest_ref);
  for (const std::string& path : objects.written_paths()) {
    if (path != manifest_path) summary.new_files.push_back(path);
  }
  for (const std::string& path : objects.written_paths()) {
    if (path == manifest_path) summary.new_files.push_back(path);
  }
  summary.new_files.insert(summary.new_files.end(), live.written.begin(), live.written.end());
  summary.bytes_stored = objects.bytes_written();
  summary.download_bytes = download_size;
  return summary;
}

}  // namespace kaldren::patcher::publish
