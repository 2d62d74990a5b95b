// Where the launcher keeps its own things: the data folder inside the game folder and
// everything in it, the launcher's own file name, and the names it registers with
// Windows. Every other file asks here; no file or folder name is spelled twice.
#pragma once

#include <cstdint>
#include <filesystem>

namespace kaldren::patcher {

// The launcher's executable, directly in the game folder.
inline constexpr const wchar_t* kLauncherFileName = L"Lanternix.exe";

// root\Lanternix and what it holds.
std::filesystem::path data_folder(const std::filesystem::path& root);
std::filesystem::path staging_folder(const std::filesystem::path& root);
std::filesystem::path logs_folder(const std::filesystem::path& root);
std::filesystem::path log_file(const std::filesystem::path& root);  // logs\lanternix.log
std::filesystem::path patcher_ini_path(const std::filesystem::path& root);
std::filesystem::path state_file(const std::filesystem::path& root);
std::filesystem::path index_file(const std::filesystem::path& root);
std::filesystem::path installed_manifest_file(const std::filesystem::path& root);  // manifest.json
std::filesystem::path pending_manifest_file(const std::filesystem::path& root);
std::filesystem::path old_launcher_path(const std::filesystem::path& root);  // Lanternix.old.exe

// Read caps of the saved documents: larger files count as unreadable.
inline constexpr std::uint64_t kStateFileCap = 1048576;
inline constexpr std::uint64_t kIndexFileCap = 134217728;
inline constexpr std::uint64_t kManifestFileCap = 67108864;

// The uninstall registration, under HKEY_CURRENT_USER.
inline constexpr const wchar_t* kRegistrationKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KaldrenMorvale";

}  // namespace kaldren::patcher
