// Removing an installation: the finishing copy of the launcher in the temporary folder,
// the files the launcher's records attribute to it, and nothing they do not. Windows only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "config/options.h"

namespace kaldren::patcher {

inline constexpr wchar_t kUninstallerCopyName[] = L"KaldrenMorvale-uninstall.exe";

struct UninstallSummary {
  std::uint64_t removed = 0;
  std::uint64_t failed = 0;
  bool folder_removed = false;
};

// Copies the running launcher to the temporary folder and starts it to finish the
// uninstall of options.root once this process has ended.
void start_uninstall_finish(const LauncherOptions& options);

// The game files the launcher installed under `root` (manifest paths, sorted, once
// each): those of the installed release and of an unfinished install. PatchError io
// naming the record when the launcher's state or a manifest it names cannot be read:
// then nothing can be told apart from what the player added.
std::vector<std::string> installed_game_files(const std::wstring& root);

// Removes the files the launcher installed, the launcher, its data folder, shortcuts
// and registration; keeps what the user added. Closes the log file. Throws as
// installed_game_files before it removes anything; never for a single file.
UninstallSummary remove_installation(const std::wstring& root);

// The finishing copy, as it ends: a system command deletes its file once the process
// has gone (a running program cannot delete itself). Best effort, never throws.
void remove_own_copy_after_exit();

}  // namespace kaldren::patcher
