#include "tools/site_check.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <tuple>

#include <fmt/format.h>
#include <zstd.h>

#include "core/error.h"
#include "core/owned_handle.h"
#include "core/version.h"
#include "protocol/encoding.h"
#include "protocol/manifest.h"
#include "protocol/release.h"
#include "tools/site_object.h"

namespace kaldren::patcher::publish {
namespace {

struct ObjectRefOrder {
  bool operator()(const ObjectRef& a, const ObjectRef& b) const {
    return std::tie(a.stored_sha256, a.stored_size, a.compressed, a.sha256, a.size) <
           std::tie(b.stored_sha256, b.stored_size, b.compressed, b.sha256, b.size);
  }
};

}  // namespace

std::vector<std::string> check_site(const std::filesystem::path& site, const std::string& channel,
                                    const std::string& key_hex, unsigned threads,
                                    const std::function<void(const std::string&)>& progress) {
  std::vector<std::string> problems;
  std::vector<ReleaseKey> keys{parse_release_key(key_hex)};
  auto release_file = site / release_path(channel);
  std::ifstream in(release_file, std::ios::binary);
  if (!in) return {fmt::format("{}: the release document is missing", release_path(channel))};
  std::string document((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Release release;
  try {
    release = verify_release(document, keys);
    validate_release(release, channel);
  } catch (const PatchError& e) {
    return {fmt::format("{}: {} ({})", release_path(channel), e.what(), category_name(e.category()))};
  }
  progress(fmt::format("Release {} of channel {}: client {}, launcher {}", release.sequence, channel,
                       version_text(release.client.version), version_text(release.launcher.version)));

  std::string manifest_bytes;
  if (auto problem = check_site_object(site, release.client.manifest, "the client manifest", &manifest_bytes); !problem.empty())
    return {problem};
  ClientManifest manifest;
  try {
    manifest = parse_client_manifest(manifest_bytes);
    validate_client_manifest(manifest, release);
  } catch (const PatchError& e) {
    return {fmt::format("the client manifest: {} ({})", e.what(), category_name(e.category()))};
  }

  // Each distinct reference once, named by the first file that uses it. Entries sharing
  // a stored object may still declare different content, sizes or compression, and a
  // launcher checks every entry against its own declaration.
  std::map<ObjectRef, std::string, ObjectRefOrder> references;
  for (const auto& file : manifest.files) references.emplace(file.object, file.path);
  references.emplace(release.launcher.file, "the launcher");
  std::vector<std::pair<const ObjectRef, std::string>*> work;
  std::set<Sha256Digest> objects;
  for (auto& entry : references) {
    work.push_back(&entry);
    objects.insert(entry.first.stored_sha256);
  }

  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  auto worker = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < work.size();) {
      std::string problem = check_site_object(site, work[i]->first, work[i]->second, nullptr);
      if (!problem.empty()) {
        std::lock_guard lock(mutex);
        problems.push_back(std::move(problem));
      }
    }
  };
  std::vector<std::thread> pool;
  for (unsigned t = 1; t < std::max(1u, threads); ++t) pool.emplace_back(worker);
  worker();
  for (auto& thread : pool) thread.join();
  std::sort(problems.begin(), problems.end());
  progress(fmt::format("Checked {} files in {} objects", manifest.files.size(), objects.size()));
  return problems;
}

}  // namespace kaldren::patcher::publish
