// The launcher's memory of past updates, kept in the data folder inside the game
// folder: accepted sequences, installed and pending releases, the file index and
// byte-exact copies of client manifests. Advisory: unreadable files read as empty.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/version.h"
#include "protocol/crypto.h"
#include "protocol/manifest.h"
#include "system/data_folder.h"
#include "system/file_system.h"

namespace kaldren::patcher {

// A release as remembered.
struct ReleaseRecord {
  std::uint64_t sequence = 0;
  Version version;
  Sha256Digest manifest_sha256{};  // content digest of the release's client manifest
  std::string executable;          // safe relative path of the game executable
  friend bool operator==(const ReleaseRecord&, const ReleaseRecord&) = default;
};

struct LauncherState {
  std::string channel;                                     // of the last accepted release
  std::map<std::string, std::uint64_t> highest_sequences;  // per channel; never decreases
  std::optional<ReleaseRecord> installed;                  // the release whose files are on disk
  std::optional<ReleaseRecord> pending;                    // begun, not finished
};

struct IndexEntry {
  std::string path;            // manifest path
  std::uint64_t size = 0;
  std::uint64_t modified = 0;  // last-write time, Windows file time
  Sha256Digest sha256{};       // content digest last verified
  friend bool operator==(const IndexEntry&, const IndexEntry&) = default;
};

// Keyed by fold_path_case(to_utf16(path)).
using FileIndex = std::unordered_map<std::wstring, IndexEntry>;

std::optional<std::uint64_t> highest_sequence(const LauncherState& state, std::string_view channel);
// Raises the channel's entry to `sequence` (inserting it); never lowers it.
void record_sequence(LauncherState& state, std::string_view channel, std::uint64_t sequence);

// Document forms. Parsers throw JsonError (or PatchError server for a bad version);
// the loaders below turn every failure into an empty value and one WARN line.
LauncherState parse_state(std::string_view document);
std::string serialize_state(const LauncherState& state);
FileIndex parse_index(std::string_view document);
std::string serialize_index(const FileIndex& index);  // sorted by path bytes

// Files in the data folder (system/data_folder.h). Loaders never fail; savers write
// atomically and propagate PatchError. Only install_record.h changes the crash-safety
// state (state.json, manifest.json, pending-manifest.json) during an update.
LauncherState load_state(FileSystem& fs, const std::filesystem::path& root);
void save_state(FileSystem& fs, const std::filesystem::path& root, const LauncherState& state);
FileIndex load_index(FileSystem& fs, const std::filesystem::path& root);
void save_index(FileSystem& fs, const std::filesystem::path& root, const FileIndex& index);

// The saved (installed) or pending manifest's exact bytes, only when they hash to `expected`.
std::optional<std::string> load_saved_manifest(FileSystem& fs, const std::filesystem::path& root,
                                               const Sha256Digest& expected);
std::optional<std::string> load_pending_manifest(FileSystem& fs, const std::filesystem::path& root,
                                                 const Sha256Digest& expected);
void save_manifest(FileSystem& fs, const std::filesystem::path& root, std::string_view bytes);
void save_pending_manifest(FileSystem& fs, const std::filesystem::path& root, std::string_view bytes);
// Any failure, absence included, is ignored.
void delete_pending_manifest(FileSystem& fs, const std::filesystem::path& root) noexcept;

// The files of the saved manifests: those of the installed release and those of an
// install that was begun and not finished.
struct KnownFiles {
  std::optional<std::vector<ManifestFile>> installed;
  std::optional<std::vector<ManifestFile>> pending;
  bool any() const { return installed || pending; }
};
KnownFiles known_files(FileSystem& fs, const std::filesystem::path& root, const LauncherState& state);

}  // namespace kaldren::patcher
