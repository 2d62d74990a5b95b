#include "tools/site_check.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <mutex>
#include <set>
#include <thread>

#include <fmt/format.h>

#include "core/error.h"
#include "core/version.h"
#include "core/wall_clock.h"
#include "protocol/manifest.h"
#include "protocol/release.h"
#include "protocol/utc_time.h"
#include "tools/object_check.h"
#include "tools/release_objects.h"
#include "tools/signing_key.h"

namespace kaldren::patcher::publish {

std::vector<std::string> check_site(const std::filesystem::path& site, const std::string& channel,
                                    const std::vector<std::string>& key_hexes, unsigned threads,
                                    const std::function<void(const std::string&)>& progress) {
  std::vector<std::string> problems;
  std::vector<ReleaseKey> keys;
  for (const std::string& hex : key_hexes) keys.push_back(parse_release_key(hex));
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
  progress(fmt::format("Release {} of channel {}: client {}, launcher {}{}", release.sequence, channel,
                       version_text(release.client.version), version_text(release.launcher.version),
                       release.expires_at ? ", expires " + utc_time_text(*release.expires_at) : std::string()));
  try {
    check_release_expiry(release, system_wall_clock());
  } catch (const PatchError& e) {
    problems.push_back(fmt::format("{}: {} ({})", release_path(channel), e.what(), category_name(e.category())));
  }

  ReleaseContent content;
  try {
    content = release_content(site, release);
  } catch (const ToolError& e) {
    problems.push_back(e.what());
    return problems;
  }
  // The manifest was checked while it was read.
  std::vector<const ReachedObject*> work;
  std::set<Sha256Digest> objects;
  for (std::size_t i = 1; i < content.objects.size(); ++i) {
    work.push_back(&content.objects[i]);
    objects.insert(content.objects[i].ref.stored_sha256);
  }

  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  auto worker = [&] {
    for (std::size_t i; (i = next.fetch_add(1)) < work.size();) {
      std::string problem = check_object(site, work[i]->ref, work[i]->name, nullptr);
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
  progress(fmt::format("Checked {} files in {} objects", content.manifest.files.size(), objects.size()));
  return problems;
}

std::vector<std::string> check_site(const std::filesystem::path& site, const std::string& channel,
                                    const std::string& key_hex, unsigned threads,
                                    const std::function<void(const std::string&)>& progress) {
  return check_site(site, channel, std::vector<std::string>{key_hex}, threads, progress);
}

}  // namespace kaldren::patcher::publish
