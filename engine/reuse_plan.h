// How an update gets each object it needs: fetched whole, copied from a local file that
// already holds it (moved or duplicated content), or assembled from chunks of local
// files (the old version, files the chunk list names as sharing content) and fetched
// chunks. Chunk lists are fetched page by page, and only pages the disk cannot rebuild.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <stop_token>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/download_progress.h"
#include "engine/file_assembly.h"
#include "engine/object_store.h"
#include "engine/update_plan.h"

namespace kaldren::patcher {

struct ReusePlan {
  std::vector<std::optional<AssemblyPlan>> assemblies;  // per group; nothing: fetch it whole
  std::vector<ObjectRef> chunks;                        // distinct chunks to fetch
  std::vector<std::string> chunk_names;                 // the file each is fetched for
  std::uint64_t list_bytes = 0;                         // chunk-list bytes fetched to plan
  std::uint64_t reused_bytes = 0;                       // content taken from local files
};

struct DigestHash {
  std::size_t operator()(const Sha256Digest& digest) const noexcept;
};

struct ReuseContext {
  FileSystem& fs;
  std::filesystem::path root;
  ObjectStore& store;
  StatusReporter& reporter;
  std::stop_token stop;
  std::uint32_t download_threads = 8;
  std::uint32_t check_threads = 4;
  // True when `path` (relative, '/'-separated) names a file on the disk.
  std::function<bool(const std::string& path)> exists;
  // Content digest -> relative path of a local file that held it when last verified.
  std::unordered_map<Sha256Digest, std::string, DigestHash> local_content;
  // An earlier release is installed: new files may share content with its files.
  bool client_installed = false;
};

// Plans every group of `groups` (the manifest's `files`). Fetches chunk indexes and
// pages through the store; cuts local files on check_threads workers, reporting the
// checking phase. PatchError for lists the publication cannot vouch for.
ReusePlan plan_reuse(ReuseContext& context, std::span<const ManifestFile> files, std::span<const ObjectGroup> groups);

}  // namespace kaldren::patcher
