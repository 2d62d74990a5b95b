// The client manifest: every file of one client version with the object that
// holds its content, and where objects are published.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/version.h"
#include "protocol/release.h"

namespace kaldren::patcher {

inline constexpr std::size_t kMaxManifestFiles = 200000;

struct ManifestFile {
  std::string path;  // UTF-8, '/'-separated, as published.
  ObjectRef object;
  // The file's chunk index (protocol/chunk_list.h), for large files: launchers that
  // know it fetch only the chunks they lack; the others skip it and fetch `object`.
  std::optional<ObjectRef> chunks;
  // A file the game rewrites (player settings shipped with defaults): installed when
  // missing, never replaced by an update or a repair. Member "install": "if_missing";
  // launchers that skip the member treat the file as any other.
  bool install_if_missing = false;
};

struct ClientManifest {
  Version version;
  std::vector<ManifestFile> files;  // Document order.
};

// Parses a manifest document (published or saved). Malformed documents and an
// unknown schema or version are PatchError server.
ClientManifest parse_client_manifest(std::string_view document);

// Checks the manifest against the verified release it belongs to: version, file
// limit, safe paths, object limits, strict byte order of paths, no two paths equal
// after case folding, the release's executable present. PatchError security otherwise.
void validate_client_manifest(const ClientManifest& manifest, const Release& release);

// "v2/objects/" + the first two characters of to_hex(stored_sha256) + "/" + all 64.
std::string object_path(const ObjectRef& ref);

// The compact document form of a manifest; `files` must already be sorted by path.
std::string write_client_manifest(std::string_view version, std::span<const ManifestFile> files);

}  // namespace kaldren::patcher
