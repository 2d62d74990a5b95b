// What the setup's and uninstall's pages share: their titles, the task dialog call
// and the launcher's own version for their footers.
#pragma once

#include <windows.h>
#include <commctrl.h>

#include <string>

namespace kaldren::patcher {

inline constexpr wchar_t kGameDisplayName[] = L"Kaldren Morvale";
inline constexpr wchar_t kSetupTitle[] = L"Kaldren Morvale Setup";

// TaskDialogIndirect of the common controls 6, looked up at run time: a process
// without their manifest has version 5, which lacks it, and then gets a failure
// instead of failing to start. Also a failure when the dialog could not be created.
HRESULT run_task_dialog(const TASKDIALOGCONFIG& config, int* button, BOOL* verification_checked);

// The members every page sets: size, title, icon, texts, flags and common buttons. The
// texts are not copied: they must outlive the dialog.
TASKDIALOGCONFIG task_dialog_config(const wchar_t* title, PCWSTR icon, const wchar_t* instruction,
                                    const wchar_t* content, TASKDIALOG_FLAGS flags,
                                    TASKDIALOG_COMMON_BUTTON_FLAGS buttons);

// "major.minor.patch" of `module`'s version resource (the launcher built as another
// version carries its own), or the build's version where there is none.
std::wstring own_version_text(HINSTANCE module);

}  // namespace kaldren::patcher
