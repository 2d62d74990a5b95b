// Installing the launcher and the game per user into a folder the user picked, the
// checks that refuse unusable folders, and removing exactly what was installed.
// Windows only; failures are PatchError with the reason a player can act on.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>
#include <vector>

#include "config/options.h"
#include "protocol/release.h"
#include "transport/transport.h"

namespace kaldren::patcher {

inline constexpr wchar_t kInstallFolderName[] = L"Kaldren Morvale";
inline constexpr std::uint64_t kFreeSpaceMargin = 268435456;  // on top of the install size

struct InstallRequest {
  std::wstring folder;  // the root
  bool desktop_shortcut = true;
};

struct InstallResult {
  std::wstring launcher;  // <root>\Lanternix.exe
  bool launcher_from_release = false;
};

// The user's temporary folder, ending in a separator; PatchError io when Windows cannot say.
std::wstring temporary_folder();

// True when `path` is `folder` or lies inside it (absolute, normalised, case folded).
bool is_within(const std::wstring& path, const std::wstring& folder);

// The install folder for a folder the user picked (a drive root or a full folder gets
// a "Kaldren Morvale" sub-folder; an empty, new or game folder is used as it is).
std::wstring resolve_install_folder(const std::wstring& picked);

// Free bytes on the folder's drive; throws the reason the folder cannot hold an install
// of `install_size` bytes. Creates a missing folder (the write test). Any thread.
std::uint64_t check_install_folder(const std::wstring& folder, std::uint64_t install_size);

// Throws (configuration) when one of the client's `paths` would be nested deeper under
// `folder` than Windows allows without long paths: checked before anything is written.
void check_install_depth(const std::wstring& folder, const std::vector<std::string>& paths);

// Limits a game folder outside the user's profile to this user, the system and
// administrators. Throws only when the profile folder cannot be located.
void restrict_folder_access(const std::wstring& root);

// Prepares the folder before its first update: checks, launcher file, patcher.ini,
// state, shortcuts, registration. Job thread; honours `stop` in the launcher download.
// The running launcher is options.launcher_path (asked from the system when empty).
InstallResult install_game(const InstallRequest& request, const Release& release, Transport& transport,
                           const LauncherOptions& options, std::stop_token stop);

// Writes <root>\Lanternix\patcher.ini when the command line set sources or the channel.
void write_setup_patcher_ini(const LauncherOptions& options, const std::wstring& root);

}  // namespace kaldren::patcher
