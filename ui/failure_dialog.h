// The modal choice after a failed job: the failure's text, a message for its category
// and Retry, Manual Patch or Bypass; a message box stands in when the dialog cannot.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "core/error.h"

namespace kaldren::patcher {

// The answers of show_failure_dialog.
enum FailureAnswer : int { failure_retry = 0, failure_manual_patch = 1, failure_bypass = 2 };

// What the dialog tells the user to do about a failure of `category`.
std::wstring_view failure_message(ErrorCategory category) noexcept;

// Runs dialog 134 of `instance` modally over `parent` (may be null); 0 Retry, 1 Manual
// Patch, 2 Bypass (also for Escape and closing). Without the dialog: a Retry/Cancel box.
int show_failure_dialog(HINSTANCE instance, HWND parent, ErrorCategory category, const std::wstring& failure_text);

}  // namespace kaldren::patcher
