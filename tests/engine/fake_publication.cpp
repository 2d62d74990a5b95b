#include "fake_publication.h"

#include <algorithm>

#include "core/error.h"
#include "protocol/crypto.h"
#include "support/release_signing.h"
#include "support/test_disk.h"
#include "system/file_operations.h"

namespace kaldren::patcher::test {

ObjectRef plain_object(std::string_view content) {
  ObjectRef ref;
  ref.sha256 = ref.stored_sha256 = sha256(content);
  ref.size = ref.stored_size = content.size();
  return ref;
}

std::string release_payload(const ReleaseFields& fields) {
  return write_release_payload({fields.channel, fields.sequence, "2024-05-01T12:00:00Z", fields.client_version,
                                fields.executable, 0, 0, 0, fields.manifest, fields.launcher_version, fields.launcher,
                                fields.expires_at});
}

std::string signed_release_document(const ReleaseFields& fields) {
  return test_support::signed_release(release_payload(fields));
}

std::string manifest_document(std::string_view version, const std::map<std::string, std::string>& files,
                              const std::vector<std::string>& install_if_missing) {
  std::vector<ManifestFile> entries;
  for (const auto& [path, content] : files) {
    const bool once = std::find(install_if_missing.begin(), install_if_missing.end(), path) != install_if_missing.end();
    entries.push_back({path, plain_object(content), std::nullopt, once});
  }
  return write_client_manifest(version, entries);
}

FakePublication::FakePublication(std::size_t sources) : releases_(sources) {}

std::string FakePublication::publish(ReleaseFields fields, const std::map<std::string, std::string>& files,
                                     std::string_view launcher_bytes) {
  std::vector<ManifestFile> entries;
  for (const auto& [path, content] : files) {
    entries.push_back({path, add_object(content), std::nullopt});
    entries.back().install_if_missing = std::find(fields.install_if_missing.begin(), fields.install_if_missing.end(),
                                                  path) != fields.install_if_missing.end();
    if (chunk_params && content.size() >= 4 * chunk_params->average) {
      entries.back().chunks = publish_chunk_list(path, content);
    }
  }
  std::string manifest = write_client_manifest(fields.client_version, entries);
  fields.manifest = add_object(manifest);
  fields.launcher = add_object(launcher_bytes);
  serve_release_everywhere(signed_release_document(fields));
  return manifest;
}

ObjectRef FakePublication::publish_chunk_list(const std::string& path, std::string_view content) {
  const ChunkParams& params = *chunk_params;
  ChunkIndex index;
  index.params = params;
  index.size = content.size();
  std::vector<ChunkPage> pages(1);
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(content.data());
  for (std::size_t offset = 0; offset < content.size();) {
    const std::size_t length =
        chunk_length({bytes + offset, std::min<std::size_t>(content.size() - offset, params.max)}, params);
    const ObjectRef chunk = add_object(content.substr(offset, length));
    pages.back().chunks.push_back(chunk);
    offset += length;
    if (offset < content.size() && ends_page(chunk.sha256, pages.back().chunks.size(), params)) pages.emplace_back();
  }
  for (const ChunkPage& page : pages) {
    std::uint64_t span = 0;
    for (const ObjectRef& chunk : page.chunks) span += chunk.size;
    index.pages.push_back({{}, page.chunks.size(), span, page_fingerprint(page.chunks)});
  }
  if (tamper_chunks) tamper_chunks(path, index, pages);
  for (std::size_t p = 0; p < pages.size() && p < index.pages.size(); ++p) {
    index.pages[p].page = add_object(write_chunk_page(pages[p]));
  }
  return add_object(write_chunk_index(index));
}

void FakePublication::serve_release(std::size_t source, std::optional<std::string> document) {
  const std::lock_guard guard(mutex_);
  releases_.at(source) = std::move(document);
}

void FakePublication::serve_release_everywhere(const std::string& document) {
  const std::lock_guard guard(mutex_);
  for (auto& release : releases_) release = document;
}

ObjectRef FakePublication::add_object(std::string_view content) {
  const ObjectRef ref = plain_object(content);
  const std::lock_guard guard(mutex_);
  objects_[object_path(ref)] = std::string(content);
  return ref;
}

std::vector<std::string> FakePublication::downloads() const {
  const std::lock_guard guard(mutex_);
  return downloads_;
}

std::size_t FakePublication::release_requests() const {
  const std::lock_guard guard(mutex_);
  return release_requests_.size();
}

std::uint64_t FakePublication::downloaded_bytes() const {
  const std::lock_guard guard(mutex_);
  return downloaded_bytes_;
}

std::vector<std::chrono::steady_clock::time_point> FakePublication::release_request_times() const {
  const std::lock_guard guard(mutex_);
  return release_requests_;
}

std::vector<std::vector<std::uint64_t>> FakePublication::preferred() const {
  const std::lock_guard guard(mutex_);
  return preferred_;
}

void FakePublication::forget_requests() {
  const std::lock_guard guard(mutex_);
  downloads_.clear();
  downloaded_bytes_ = 0;
  release_requests_.clear();
  preferred_.clear();
}

std::string FakePublication::fetch(std::string_view path, std::uint64_t byte_cap, std::stop_token stop) {
  throw_if_stopped(stop);
  const std::lock_guard guard(mutex_);
  const auto found = objects_.find(path);
  if (found == objects_.end()) throw PatchError(ErrorCategory::server, "not published: " + std::string(path));
  if (found->second.size() > byte_cap) throw PatchError(ErrorCategory::server, "too large");
  return found->second;
}

std::vector<SourceDocument> FakePublication::fetch_all(std::string_view, std::uint64_t byte_cap,
                                                       std::stop_token stop) {
  std::size_t call = 0;
  {
    const std::lock_guard guard(mutex_);
    call = release_requests_.size();
    release_requests_.push_back(std::chrono::steady_clock::now());
  }
  if (before_fetch_all) before_fetch_all(call);
  throw_if_stopped(stop);
  const std::lock_guard guard(mutex_);
  std::vector<SourceDocument> documents;
  for (std::size_t source = 0; source < releases_.size(); ++source) {
    if (releases_[source] && releases_[source]->size() <= byte_cap) documents.push_back({source, *releases_[source]});
  }
  if (documents.empty()) throw PatchError(ErrorCategory::network, "No patch source could be reached");
  return documents;
}

void FakePublication::download(std::string_view path, const std::filesystem::path& destination, std::uint64_t size,
                               std::stop_token stop, const DownloadProgress& progress, std::uint64_t) {
  throw_if_stopped(stop);
  std::string content;
  {
    const std::lock_guard guard(mutex_);
    const auto found = objects_.find(path);
    if (found == objects_.end()) throw PatchError(ErrorCategory::server, "not published: " + std::string(path));
    content = found->second;
    downloads_.emplace_back(path);
    downloaded_bytes_ += content.size();
  }
  if (content.size() != size) throw PatchError(ErrorCategory::server, "wrong size: " + std::string(path));
  FileSystem& fs = disk != nullptr ? *disk : test_disk();
  const std::unique_ptr<OpenFile> out = open_for_write(fs, destination);
  write_bytes(*out, destination, std::span(reinterpret_cast<const std::uint8_t*>(content.data()), content.size()));
  if (progress) progress(size);
}

void FakePublication::prefer_sources(std::span<const std::uint64_t> sources) {
  const std::lock_guard guard(mutex_);
  preferred_.emplace_back(sources.begin(), sources.end());
}

}  // namespace kaldren::patcher::test
