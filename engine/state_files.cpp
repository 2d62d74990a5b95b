// The data folder's files. Reading never fails a run: a damaged or mismatching
// file is ignored with one WARN line, so the launcher verifies the game files
// instead of trusting what it remembered.
#include <exception>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "engine/launcher_state.h"
#include "protocol/json.h"
#include "system/file_operations.h"

namespace kaldren::patcher {
namespace {

// The bytes of a file that exists and is not a folder; nothing otherwise.
std::optional<std::string> read_if_file(FileSystem& fs, const std::filesystem::path& path, std::uint64_t cap) {
  if (!file_info(fs, path)) return std::nullopt;
  return read_file(fs, path, cap);
}

// Parses the file with `parse`; a missing file gives the empty value, any failure the
// empty value and one WARN line.
template <typename Value, typename Parse>
Value load_document(FileSystem& fs, const std::filesystem::path& path, std::uint64_t cap, const char* warning,
                    Parse parse) {
  try {
    auto bytes = read_if_file(fs, path, cap);
    if (!bytes) return {};
    return parse(*bytes);
  } catch (const std::exception& error) {
    log(LogLevel::warn, fmt::runtime(warning), display_path(path), error.what());
    return {};
  }
}

std::optional<std::string> load_manifest_copy(FileSystem& fs, const std::filesystem::path& path,
                                              const Sha256Digest& expected, const char* read_failure,
                                              bool log_mismatch) {
  try {
    auto bytes = read_if_file(fs, path, kManifestFileCap);
    if (!bytes) return std::nullopt;
    if (sha256(*bytes) != expected) {
      if (log_mismatch) log(LogLevel::warn, "The saved manifest does not match the installed release; ignoring it");
      return std::nullopt;
    }
    return bytes;
  } catch (const std::exception& error) {
    log(LogLevel::warn, fmt::runtime(read_failure), error.what());
    return std::nullopt;
  }
}

std::optional<std::string> read_if_file_quietly(FileSystem& fs, const std::filesystem::path& path) {
  try {
    return read_if_file(fs, path, kManifestFileCap);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::optional<std::vector<ManifestFile>> files_of(const std::optional<std::string>& bytes, const char* which) {
  if (!bytes) return std::nullopt;
  try {
    return parse_client_manifest(*bytes).files;
  } catch (const std::exception& error) {
    log(LogLevel::warn, "Ignoring the saved {} manifest: {}", which, error.what());
    return std::nullopt;
  }
}

}  // namespace

LauncherState load_state(FileSystem& fs, const std::filesystem::path& root) {
  return load_document<LauncherState>(fs, state_file(root), kStateFileCap, "Ignoring unreadable launcher state {}: {}",
                                      parse_state);
}

void save_state(FileSystem& fs, const std::filesystem::path& root, const LauncherState& state) {
  write_file_atomic(fs, state_file(root), serialize_state(state));
}

FileIndex load_index(FileSystem& fs, const std::filesystem::path& root) {
  return load_document<FileIndex>(fs, index_file(root), kIndexFileCap, "Ignoring unreadable file index {}: {}",
                                  parse_index);
}

void save_index(FileSystem& fs, const std::filesystem::path& root, const FileIndex& index) {
  write_file_atomic(fs, index_file(root), serialize_index(index));
}

std::optional<std::string> load_saved_manifest(FileSystem& fs, const std::filesystem::path& root,
                                               const Sha256Digest& expected) {
  return load_manifest_copy(fs, installed_manifest_file(root), expected, "Could not read the saved manifest: {}", true);
}

std::optional<std::string> load_pending_manifest(FileSystem& fs, const std::filesystem::path& root,
                                                 const Sha256Digest& expected) {
  return load_manifest_copy(fs, pending_manifest_file(root), expected, "Could not read the pending manifest: {}",
                            false);
}

void save_manifest(FileSystem& fs, const std::filesystem::path& root, std::string_view bytes) {
  write_file_atomic(fs, installed_manifest_file(root), bytes);
}

void save_pending_manifest(FileSystem& fs, const std::filesystem::path& root, std::string_view bytes) {
  write_file_atomic(fs, pending_manifest_file(root), bytes);
}

void delete_pending_manifest(FileSystem& fs, const std::filesystem::path& root) noexcept {
  try {
    delete_file(fs, pending_manifest_file(root));
  } catch (...) {
    // A leftover copy is harmless: it is only trusted when its digest matches.
  }
}

KnownFiles known_files(FileSystem& fs, const std::filesystem::path& root, const LauncherState& state) {
  KnownFiles known;
  if (state.installed) {
    known.installed = files_of(load_saved_manifest(fs, root, state.installed->manifest_sha256), "installed");
  }
  if (state.pending) {
    std::optional<std::string> bytes = load_pending_manifest(fs, root, state.pending->manifest_sha256);
    // A run that stopped between writing the next install's manifest and recording that
    // install left this one: every file of the interrupted install still on disk is in
    // it (those it does not list go first), so it stands in for the recorded one.
    if (!bytes) bytes = read_if_file_quietly(fs, pending_manifest_file(root));
    known.pending = files_of(bytes, "pending");
  }
  return known;
}

}  // namespace kaldren::patcher
