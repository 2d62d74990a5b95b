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

namespace kaldren::patcher::publish {
namespace {

// Checks one stored object; returns the problem, or "" when it is sound. When
// `content` is given, the unpacked bytes are kept there (the manifest).
std::string check_object(const std::filesystem::path& site, const ObjectRef& ref, const std::string& name,
                         std::string* content) {
  auto path = site / object_path(ref);
  std::ifstream in(path, std::ios::binary);
  if (!in) return fmt::format("{}: object {} is missing", name, object_path(ref));
  Sha256 stored_hash;
  Sha256 content_hash;
  std::uint64_t stored = 0;
  std::uint64_t produced = 0;
  OwnedHandle<ClosedBy<ZSTD_DCtx*, ZSTD_freeDCtx>> dctx;
  if (ref.compressed) {
    dctx.reset(ZSTD_createDCtx());
    ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, 27);
  }
  std::vector<char> buffer(1 << 20);
  std::vector<char> out(ZSTD_DStreamOutSize());
  bool frame_done = false;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    std::size_t n = static_cast<std::size_t>(in.gcount());
    if (n == 0) break;
    stored += n;
    if (stored > ref.stored_size) return fmt::format("{}: object {} is larger than its stored size {}", name, object_path(ref), ref.stored_size);
    stored_hash.update(std::string_view(buffer.data(), n));
    if (!ref.compressed) {
      if (content) content->append(buffer.data(), n);
      continue;
    }
    ZSTD_inBuffer input{buffer.data(), n, 0};
    while (input.pos < input.size) {
      if (frame_done) return fmt::format("{}: object {} holds more than one zstd frame", name, object_path(ref));
      ZSTD_outBuffer output{out.data(), out.size(), 0};
      std::size_t result = ZSTD_decompressStream(dctx.get(), &output, &input);
      if (ZSTD_isError(result))
        return fmt::format("{}: object {} does not unpack: {}", name, object_path(ref), ZSTD_getErrorName(result));
      produced += output.pos;
      if (produced > ref.size) return fmt::format("{}: object {} unpacks to more than {} bytes", name, object_path(ref), ref.size);
      content_hash.update(std::string_view(out.data(), output.pos));
      if (content) content->append(out.data(), output.pos);
      if (result == 0) frame_done = true;
    }
  }
  if (stored != ref.stored_size)
    return fmt::format("{}: object {} has {} bytes, the release says {}", name, object_path(ref), stored, ref.stored_size);
  if (stored_hash.finish() != ref.stored_sha256)
    return fmt::format("{}: object {} does not match its stored SHA-256", name, object_path(ref));
  if (ref.compressed) {
    if (!frame_done) return fmt::format("{}: object {} ends inside its zstd frame", name, object_path(ref));
    if (produced != ref.size)
      return fmt::format("{}: object {} unpacks to {} bytes, the release says {}", name, object_path(ref), produced, ref.size);
    if (content_hash.finish() != ref.sha256)
      return fmt::format("{}: object {} does not unpack to its content SHA-256", name, object_path(ref));
  }
  return {};
}

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
  if (auto problem = check_object(site, release.client.manifest, "the client manifest", &manifest_bytes); !problem.empty())
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
      std::string problem = check_object(site, work[i]->first, work[i]->second, nullptr);
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
