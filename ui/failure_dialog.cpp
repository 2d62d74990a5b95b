#include "ui/failure_dialog.h"

#include "core/log.h"
#include "ui/resource_ids.h"

namespace kaldren::patcher {
namespace {

struct DialogTexts {
  const std::wstring* failure_text;
  std::wstring_view message;
};

void centre_over_owner(HWND dialog) {
  RECT area{};
  const HWND owner = GetWindow(dialog, GW_OWNER);
  if (owner == nullptr || !GetWindowRect(owner, &area)) SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  RECT own{};
  if (!GetWindowRect(dialog, &own)) return;
  const int left = area.left + ((area.right - area.left) - (own.right - own.left)) / 2;
  const int top = area.top + ((area.bottom - area.top) - (own.bottom - own.top)) / 2;
  SetWindowPos(dialog, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

INT_PTR CALLBACK dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_INITDIALOG: {
      const auto* texts = reinterpret_cast<const DialogTexts*>(lparam);
      SetDlgItemTextW(dialog, LANTERNIX_FAILURE_TEXT, texts->failure_text->c_str());
      SetDlgItemTextW(dialog, LANTERNIX_FAILURE_MESSAGE, std::wstring(texts->message).c_str());
      SetDlgItemTextW(dialog, LANTERNIX_RETRY_BUTTON, L"Retry");
      SetDlgItemTextW(dialog, LANTERNIX_MANUAL_BUTTON, L"Manual Patch");
      SetDlgItemTextW(dialog, LANTERNIX_BYPASS_BUTTON, L"Bypass");
      centre_over_owner(dialog);
      return TRUE;  // the system focuses the default button, Retry
    }
    case WM_COMMAND:
      switch (LOWORD(wparam)) {
        case LANTERNIX_RETRY_BUTTON:
        case LANTERNIX_MANUAL_BUTTON:
        case LANTERNIX_BYPASS_BUTTON:
          EndDialog(dialog, LOWORD(wparam));
          return TRUE;
        case IDCANCEL:  // Escape means "not now", never "try again"
          EndDialog(dialog, LANTERNIX_BYPASS_BUTTON);
          return TRUE;
        default:
          return FALSE;
      }
    case WM_CLOSE:
      EndDialog(dialog, LANTERNIX_BYPASS_BUTTON);
      return TRUE;
    default:
      return FALSE;
  }
}

}  // namespace

std::wstring_view failure_message(ErrorCategory category) noexcept {
  switch (category) {
    case ErrorCategory::network:
      return L"Failed to connect to the lanternix server. Please choose Retry, Manual Patch or Bypass "
             L"(Not recommended! It may cause unknown errors.).";
    case ErrorCategory::server:
      return L"The lanternix server sent an update this launcher cannot use. Please choose Retry, Manual Patch or "
             L"Bypass (Not recommended!).";
    case ErrorCategory::security:
      return L"The update could not be verified and was not installed. Please choose Retry, Manual Patch or Bypass "
             L"(Not recommended!).";
    case ErrorCategory::disk_space:
      return L"There is not enough free disk space for the update. Free some space, then choose Retry.";
    case ErrorCategory::file_in_use:
      return L"A game file is in use. Close the game and choose Retry.";
    default:
      return L"The update could not be installed. Please choose Retry, Manual Patch or Bypass "
             L"(Not recommended! It may cause unknown errors.).";
  }
}

int show_failure_dialog(HINSTANCE instance, HWND parent, ErrorCategory category, const std::wstring& failure_text) {
  const DialogTexts texts{&failure_text, failure_message(category)};
  const INT_PTR ended = DialogBoxParamW(instance, MAKEINTRESOURCEW(LANTERNIX_FAILURE_DIALOG), parent, dialog_procedure,
                                        reinterpret_cast<LPARAM>(&texts));
  switch (ended) {
    case LANTERNIX_RETRY_BUTTON:
      return failure_retry;
    case LANTERNIX_MANUAL_BUTTON:
      return failure_manual_patch;
    case -1:
      break;
    default:
      return failure_bypass;
  }
  log(LogLevel::warn, "Could not show the failure dialog (Win32 error {}); asking with a message box", GetLastError());
  const std::wstring text = std::wstring(texts.message) + L"\n\n" + failure_text;
  const int answer = MessageBoxW(parent, text.c_str(), L"Lanternix", MB_ICONERROR | MB_RETRYCANCEL | MB_SETFOREGROUND);
  return answer == IDRETRY ? failure_retry : failure_bypass;
}

}  // namespace kaldren::patcher
