// Publishing a client: objects, manifest and the signed release of a channel.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "protocol/chunking.h"
#include "tools/chunk_publication.h"
#include "tools/update_size.h"

namespace kaldren::patcher::publish {

struct PublishRequest {
  std::filesystem::path site;       // the folder a static server hosts
  std::string channel;
  std::filesystem::path client;     // the client folder
  std::string version;              // client version, major.minor.patch
  std::string executable;           // game executable, relative, '/'-separated
  std::filesystem::path launcher;   // the launcher executable file
  std::string launcher_version;
  std::vector<std::filesystem::path> keys;  // PEM private keys, 1 to 8
  std::optional<std::uint64_t> sequence;    // default: the current release's + 1
  int level = 6;                            // zstd level; 0 stores everything as is
  unsigned threads = 0;                     // 0: one per core
  std::string published_at;                 // default: now, UTC
  // Chunk lists of large files; an average of 0 publishes whole files only.
  ChunkParams chunk_params = default_chunk_params();
  std::optional<std::int64_t> expires_at;   // seconds since 1970 UTC; none: never expires
  // Files installed only when missing (settings the game rewrites): paths, or patterns
  // where * stands for any characters but '/'. Each must match a file.
  std::vector<std::string> install_if_missing;
};

struct PublishSummary {
  std::uint64_t sequence = 0;
  std::uint64_t files = 0;
  std::uint64_t install_bytes = 0;
  std::uint64_t objects_new = 0;
  std::uint64_t objects_reused = 0;    // present, their digests checked
  std::uint64_t objects_damaged = 0;   // present but damaged, written again
  std::uint64_t bytes_stored = 0;     // bytes of the objects this run wrote
  std::uint64_t download_bytes = 0;   // what a fresh install downloads (distinct client objects)
  ChunkListSummary chunk_lists;
  // What players on the earlier releases still on the site (up to 8, newest first)
  // download to reach this one.
  struct UpdateFrom {
    std::uint64_t sequence = 0;
    UpdateCost cost;
  };
  std::vector<UpdateFrom> updates;
  // Site-relative paths this run wrote, in the order that keeps players safe while a
  // copy of the site is uploaded: objects, then the manifest, the release documents last.
  std::vector<std::string> new_files;
};

// Publishes `request` under the site's lock; the release document is written last,
// atomically, so a half-written publication never becomes visible. `progress` receives
// status lines. Throws ToolError (or PatchError from the shared format checks) before
// writing the release when anything is wrong.
PublishSummary publish_client(const PublishRequest& request,
                              const std::function<void(const std::string&)>& progress);

}  // namespace kaldren::patcher::publish
