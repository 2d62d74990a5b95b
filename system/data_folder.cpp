#include "system/data_folder.h"

namespace kaldren::patcher {

std::filesystem::path data_folder(const std::filesystem::path& root) { return root / "Lanternix"; }
std::filesystem::path staging_folder(const std::filesystem::path& root) { return data_folder(root) / "staging"; }
std::filesystem::path logs_folder(const std::filesystem::path& root) { return data_folder(root) / "logs"; }
std::filesystem::path log_file(const std::filesystem::path& root) { return logs_folder(root) / "lanternix.log"; }
std::filesystem::path patcher_ini_path(const std::filesystem::path& root) { return data_folder(root) / "patcher.ini"; }
std::filesystem::path state_file(const std::filesystem::path& root) { return data_folder(root) / "state.json"; }
std::filesystem::path index_file(const std::filesystem::path& root) { return data_folder(root) / "index.json"; }
std::filesystem::path installed_manifest_file(const std::filesystem::path& root) {
  return data_folder(root) / "manifest.json";
}
std::filesystem::path pending_manifest_file(const std::filesystem::path& root) {
  return data_folder(root) / "pending-manifest.json";
}
std::filesystem::path old_launcher_path(const std::filesystem::path& root) {
  return data_folder(root) / "Lanternix.old.exe";
}

}  // namespace kaldren::patcher
