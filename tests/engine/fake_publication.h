// A publication held in memory and served as one or more patch sources: signed
// releases built with the test key, client manifests and uncompressed objects.
// Every request is recorded so that tests can tell what was fetched.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/chunk_list.h"
#include "protocol/manifest.h"
#include "protocol/release.h"
#include "system/file_system.h"
#include "transport/transport.h"

namespace kaldren::patcher::test {

// The reference of content published as it is (stored = content).
ObjectRef plain_object(std::string_view content);

struct ReleaseFields {
  std::string channel = "live";
  std::uint64_t sequence = 1;
  std::string client_version = "1.0.0";
  std::string executable = "bin/game.exe";
  std::string launcher_version = "1.0.0";
  ObjectRef manifest = plain_object("{}");
  ObjectRef launcher = plain_object("launcher");
  std::string expires_at;                      // empty: the release never expires
  std::vector<std::string> install_if_missing;  // manifest paths marked so by publish()
};

// The payload JSON of a release.
std::string release_payload(const ReleaseFields& fields);
// The payload signed with the test key, in its envelope.
std::string signed_release_document(const ReleaseFields& fields);

// A client manifest document; `files` maps paths (sorted by the map) to contents; the
// paths in `install_if_missing` are marked to be installed only when missing.
std::string manifest_document(std::string_view version, const std::map<std::string, std::string>& files,
                              const std::vector<std::string>& install_if_missing = {});

class FakePublication final : public Transport {
 public:
  explicit FakePublication(std::size_t sources = 1);

  // Publishes `files` (path -> content) as a release of `fields.client_version`, with
  // the launcher `launcher_bytes`, served by every source. Returns the manifest bytes.
  std::string publish(ReleaseFields fields, const std::map<std::string, std::string>& files,
                      std::string_view launcher_bytes = "launcher");

  // The release document a source serves; nothing: the source is unreachable.
  void serve_release(std::size_t source, std::optional<std::string> document);
  void serve_release_everywhere(const std::string& document);
  // Content that downloads can reach, by its reference.
  ObjectRef add_object(std::string_view content);

  // When set, files of at least four average chunks also get chunk lists (chunks stored
  // as they are); `tamper_chunks` may change a file's list before it is published.
  std::optional<ChunkParams> chunk_params;
  std::function<void(const std::string& path, ChunkIndex&, std::vector<ChunkPage>&)> tamper_chunks;

  // Called at the start of every fetch_all with its number (0 first), without locks held.
  std::function<void(std::size_t call)> before_fetch_all;
  // Where downloads are written; null: the test disk.
  FileSystem* disk = nullptr;

  // Object paths downloaded so far, in order; and the number of release requests.
  std::vector<std::string> downloads() const;
  std::size_t release_requests() const;
  // Bytes of every download so far.
  std::uint64_t downloaded_bytes() const;
  std::vector<std::chrono::steady_clock::time_point> release_request_times() const;
  std::vector<std::vector<std::uint64_t>> preferred() const;
  void forget_requests();

  std::string fetch(std::string_view path, std::uint64_t byte_cap, std::stop_token stop) override;
  std::vector<SourceDocument> fetch_all(std::string_view path, std::uint64_t byte_cap, std::stop_token stop) override;
  void download(std::string_view path, const std::filesystem::path& destination, std::uint64_t size,
                std::stop_token stop, const DownloadProgress& progress, std::uint64_t copy_index) override;
  std::uint64_t source_count() const override { return releases_.size(); }
  void prefer_sources(std::span<const std::uint64_t> sources) override;
  std::string name() const override { return "fake publication"; }

 private:
  mutable std::mutex mutex_;
  std::vector<std::optional<std::string>> releases_;
  std::map<std::string, std::string, std::less<>> objects_;  // by object path
  // The chunk list of `content` published as objects; its index's reference.
  ObjectRef publish_chunk_list(const std::string& path, std::string_view content);

  std::vector<std::string> downloads_;
  std::uint64_t downloaded_bytes_ = 0;
  std::vector<std::chrono::steady_clock::time_point> release_requests_;
  std::vector<std::vector<std::uint64_t>> preferred_;
};

}  // namespace kaldren::patcher::test
