// The data folder's files. Reading never fails a run: a damaged or mismatching
// file is ignored with one WARN line, so the launcher verifies the game files
// instead of trusting what it remembered.
#include <exception>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "engine/file_operations.h"
#include "engine/launcher_state.h"
#include "protocol/json.h"

namespace kaldren::patcher {
namespace {

constexpr std::uint64_t kStateCap = 1048576;
constexpr std::uint64_t kIndexCap = 134217728;
constexpr std::uint64_t kManifestCap = 67108864;

std::filesystem::path state_file(const std::filesystem::path& root) { return data_folder(root) / L"state.json"; }
std::filesystem::path index_file(const std::filesystem::path& root) { return data_folder(root) / L"index.json"; }
std::filesystem::path saved_manifest_file(const std::filesystem::path& root) {
  return data_folder(root) / L"manifest.json";
}
std::filesystem::path pending_manifest_file(const std::filesystem::path& root) {
  return data_folder(root) / L"pending-manifest.json";
}

std::string path_text(const std::filesystem::path& path) { return to_utf8_lenient(path.wstring()); }

// The bytes of a file that exists and is not a folder; nothing otherwise.
std::optional<std::string> read_if_file(const std::filesystem::path& path, std::uint64_t cap) {
  if (!file_info(path)) return std::nullopt;
  return read_file(path, cap);
}

std::optional<std::string> load_manifest_copy(const std::filesystem::path& path, const Sha256Digest& expected,
                                              const char* read_failure, bool log_mismatch) {
  try {
    auto bytes = read_if_file(path, kManifestCap);
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

}  // namespace

std::filesystem::path data_folder(const std::filesystem::path& root) { return root / L"Lanternix"; }
std::filesystem::path staging_folder(const std::filesystem::path& root) { return data_folder(root) / L"staging"; }
std::filesystem::path logs_folder(const std::filesystem::path& root) { return data_folder(root) / L"logs"; }
std::filesystem::path old_launcher_path(const std::filesystem::path& root) {
  return data_folder(root) / L"Lanternix.old.exe";
}

LauncherState load_state(const std::filesystem::path& root) {
  const auto path = state_file(root);
  try {
    auto bytes = read_if_file(path, kStateCap);
    if (!bytes) return {};
    return parse_state(*bytes);
  } catch (const std::exception& error) {
    log(LogLevel::warn, "Ignoring unreadable launcher state {}: {}", path_text(path), error.what());
    return {};
  }
}

void save_state(const std::filesystem::path& root, const LauncherState& state) {
  write_file_atomic(state_file(root), serialize_state(state));
}

FileIndex load_index(const std::filesystem::path& root) {
  const auto path = index_file(root);
  try {
    auto bytes = read_if_file(path, kIndexCap);
    if (!bytes) return {};
    return parse_index(*bytes);
  } catch (const std::exception& error) {
    log(LogLevel::warn, "Ignoring unreadable file index {}: {}", path_text(path), error.what());
    return {};
  }
}

void save_index(const std::filesystem::path& root, const FileIndex& index) {
  write_file_atomic(index_file(root), serialize_index(index));
}

std::optional<std::string> load_saved_manifest(const std::filesystem::path& root, const Sha256Digest& expected) {
  return load_manifest_copy(saved_manifest_file(root), expected, "Could not read the saved manifest: {}", true);
}

std::optional<std::string> load_pending_manifest(const std::filesystem::path& root, const Sha256Digest& expected) {
  return load_manifest_copy(pending_manifest_file(root), expected, "Could not read the pending manifest: {}", false);
}

void save_manifest(const std::filesystem::path& root, std::string_view bytes) {
  write_file_atomic(saved_manifest_file(root), bytes);
}

void save_pending_manifest(const std::filesystem::path& root, std::string_view bytes) {
  write_file_atomic(pending_manifest_file(root), bytes);
}

void delete_pending_manifest(const std::filesystem::path& root) noexcept {
  try {
    delete_file(pending_manifest_file(root));
  } catch (...) {
    // A leftover copy is harmless: it is only trusted when its digest matches.
  }
}

std::optional<std::vector<ManifestFile>> known_files(const std::filesystem::path& root, const LauncherState& state) {
  std::optional<std::vector<ManifestFile>> files;
  auto add = [&](const std::optional<std::string>& bytes, const char* which) {
    if (!bytes) return;
    try {
      ClientManifest manifest = parse_client_manifest(*bytes);
      if (!files) files.emplace();
      files->insert(files->end(), std::make_move_iterator(manifest.files.begin()),
                    std::make_move_iterator(manifest.files.end()));
    } catch (const std::exception& error) {
      log(LogLevel::warn, "Ignoring the saved {} manifest: {}", which, error.what());
    }
  };
  if (state.installed) add(load_saved_manifest(root, state.installed->manifest_sha256), "installed");
  if (state.pending) add(load_pending_manifest(root, state.pending->manifest_sha256), "pending");
  return files;
}

}  // namespace kaldren::patcher
