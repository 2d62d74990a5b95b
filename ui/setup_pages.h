// The setup's and uninstall's pages: standard task dialogs (common controls 6) with
// message-box fallbacks. Each call runs on the calling thread and returns when the
// page closes.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <optional>
#include <stop_token>
#include <string>

#include "install/installation.h"
#include "protocol/release.h"

namespace kaldren::patcher {

enum class MessageIcon { error, warning, information };

// Button ids as task dialogs report them: OK 1, Cancel 2, Yes 6, No 7. `buttons` are
// TDCBF_* flags.
int show_message(HWND owner, MessageIcon icon, const std::wstring& instruction, const std::wstring& content,
                 TASKDIALOG_COMMON_BUTTON_FLAGS buttons);

// The Shell's folder picker started at the nearest existing folder at or above `start`;
// nothing when cancelled or failed.
std::optional<std::wstring> pick_folder(HWND owner, const std::wstring& start);

struct InstallPageResult {
  bool accepted = false;
  InstallRequest request;
  std::optional<Release> release;
};

using ReleaseReader = std::function<Release(const std::stop_token&)>;
// Throws the reason `folder` cannot hold `release`'s client (page thread).
using FolderCheck = std::function<void(const std::wstring& folder, const Release& release)>;

// The install page; reads the release in the background while shown. Accepted only
// when Install was pressed with a release read and the folder passed its checks:
// `check`, or check_install_folder with the release's install size when empty.
InstallPageResult show_install_page(HINSTANCE instance, const std::wstring& default_folder, ReleaseReader reader,
                                    FolderCheck check = {});

// 0 start the game (also when the page cannot be shown), 1 check and repair, 2 neither.
int show_installed_page(HINSTANCE instance, const std::wstring& folder);

// True only when the user answered Yes.
bool confirm_uninstall(const std::wstring& root);

}  // namespace kaldren::patcher
