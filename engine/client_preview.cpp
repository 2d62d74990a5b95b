// The manifest is an object like any other (possibly compressed), so the object store
// verifies it; here the store works on an in-memory drive, whose downloads a thin
// transport fills from the real transport's fetch.
#include "engine/client_preview.h"

#include "core/text.h"
#include "engine/object_store.h"
#include "protocol/manifest.h"
#include "protocol/path_rule.h"
#include "system/file_operations.h"
#include "system/memory_file_system.h"

namespace kaldren::patcher {
namespace {

// Fetches whole objects from `inner` into the in-memory drive the object store reads.
class DownloadsInMemory final : public Transport {
 public:
  DownloadsInMemory(Transport& inner, FileSystem& memory) : inner_(inner), memory_(memory) {}

  std::string fetch(std::string_view path, std::uint64_t byte_cap, std::stop_token stop) override {
    return inner_.fetch(path, byte_cap, std::move(stop));
  }
  std::vector<SourceDocument> fetch_all(std::string_view path, std::uint64_t byte_cap, std::stop_token stop) override {
    return inner_.fetch_all(path, byte_cap, std::move(stop));
  }
  void download(std::string_view path, const std::filesystem::path& destination, std::uint64_t size,
                std::stop_token stop, const DownloadProgress& progress, std::uint64_t) override {
    const std::string body = inner_.fetch(path, size, std::move(stop));
    ensure_parent_folder(memory_, destination);
    const std::unique_ptr<OpenFile> file = open_for_write(memory_, destination);
    write_bytes(*file, destination, std::span(reinterpret_cast<const std::uint8_t*>(body.data()), body.size()));
    flush_bytes(*file, destination);
    if (progress) progress(body.size());
  }
  std::uint64_t source_count() const override { return inner_.source_count(); }
  void prefer_sources(std::span<const std::uint64_t> sources) override { inner_.prefer_sources(sources); }
  std::string name() const override { return inner_.name(); }

 private:
  Transport& inner_;
  FileSystem& memory_;
};

}  // namespace

std::vector<std::string> client_file_paths(Transport& transport, const Release& release, std::stop_token stop) {
  MemoryFileSystem memory;
  DownloadsInMemory downloads(transport, memory);
  ObjectStore store(memory, "/preview/staging", downloads);
  const ClientManifest manifest = parse_client_manifest(store.read_document(release.client.manifest, std::move(stop)));
  validate_client_manifest(manifest, release);
  std::vector<std::string> paths;
  paths.reserve(manifest.files.size());
  for (const ManifestFile& file : manifest.files) paths.push_back(file.path);
  return paths;
}

std::optional<std::string> too_deep_path(FileSystem& fs, const std::filesystem::path& root,
                                         const std::vector<std::string>& paths) {
  if (paths.empty() || fs.long_paths_enabled()) return std::nullopt;
  for (const std::string& path : paths) {
    if (path_to_utf16(resolve_path(root, path)).size() > kMaxShortPath) return path;
  }
  return std::nullopt;
}

}  // namespace kaldren::patcher
