// The modal choices after a failure: a failed job (the failure's text, a message for its
// category, Retry, Manual Patch, Bypass) and a game that did not start (Try again,
// Repair, Close). Texts size the dialog; a message box stands in when it cannot show.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "core/error.h"

namespace kaldren::patcher {

// The answers of show_failure_dialog.
enum FailureAnswer : int { failure_retry = 0, failure_manual_patch = 1, failure_bypass = 2 };
// The answers of show_start_failure_dialog.
enum StartFailureAnswer : int { start_try_again = 0, start_repair = 1, start_close = 2 };

// What the dialog tells the user to do about a failure of `category`; without
// `game_can_start` the message offers no Bypass (the game cannot start before an
// update has finished).
std::wstring_view failure_message(ErrorCategory category, bool game_can_start = true) noexcept;
inline constexpr wchar_t kStartFailureMessage[] =
    L"The game could not be started. Choose Try again, or Repair to check the game files and repair them.";

// Runs dialog 134 of `instance` modally over `parent` (may be null); 0 Retry, 1 Manual
// Patch, 2 Bypass (also for Escape and closing). Without `game_can_start` the third
// button reads Close and answers 2 as well. Without the dialog: a Retry/Cancel box.
int show_failure_dialog(HINSTANCE instance, HWND parent, ErrorCategory category, const std::wstring& failure_text,
                        bool game_can_start = true);

// The same dialog after the game did not start: 0 Try again (the default), 1 Repair,
// 2 Close (also Escape and closing). Without the dialog: a Retry/Cancel box.
int show_start_failure_dialog(HINSTANCE instance, HWND parent, const std::wstring& failure_text);

}  // namespace kaldren::patcher
