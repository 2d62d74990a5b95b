#include "ui/failure_dialog.h"

#include <algorithm>
#include <array>

#include "core/log.h"
#include "ui/resource_ids.h"

namespace kaldren::patcher {
namespace {

// What one showing of dialog 134 says: its two texts and its three buttons.
struct DialogTexts {
  const std::wstring* failure_text;
  std::wstring_view message;
  std::array<const wchar_t*, 3> buttons;  // Retry, Manual Patch, Bypass positions
};

constexpr int kButtons[] = {LANTERNIX_RETRY_BUTTON, LANTERNIX_MANUAL_BUTTON, LANTERNIX_BYPASS_BUTTON};

RECT rect_in_dialog(HWND dialog, HWND control) {
  RECT rect{};
  GetWindowRect(control, &rect);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// The height `text` needs in `control` at the control's width and font, wrapped as the
// static control wraps it (long paths break inside words).
int needed_height(HWND control, const std::wstring& text) {
  RECT client{};
  GetClientRect(control, &client);
  const HDC dc = GetDC(control);
  if (dc == nullptr) return client.bottom;
  const auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
  const HGDIOBJ previous = font != nullptr ? SelectObject(dc, font) : nullptr;
  RECT needed{0, 0, client.right, 0};
  DrawTextW(dc, text.c_str(), -1, &needed, DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX | DT_LEFT);
  if (previous != nullptr) SelectObject(dc, previous);
  ReleaseDC(control, dc);
  return needed.bottom;
}

// Grows each text to what it needs, moves what lies below it down and the dialog with
// it, as far as the work area allows: a message of several lines is shown whole.
void fit_to_texts(HWND dialog) {
  RECT window{};
  GetWindowRect(dialog, &window);
  MONITORINFO monitor{sizeof(monitor)};
  GetMonitorInfoW(MonitorFromWindow(dialog, MONITOR_DEFAULTTOPRIMARY), &monitor);
  int room = (monitor.rcWork.bottom - monitor.rcWork.top) - (window.bottom - window.top);
  int shift = 0;
  for (const int id : {LANTERNIX_FAILURE_TEXT, LANTERNIX_FAILURE_MESSAGE}) {
    const HWND control = GetDlgItem(dialog, id);
    if (control == nullptr) continue;
    const int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(control, text.data(), length + 1)));
    const RECT rect = rect_in_dialog(dialog, control);
    const int height = rect.bottom - rect.top;
    const int grow = std::clamp(needed_height(control, text) - height, 0, std::max(room, 0));
    room -= grow;
    SetWindowPos(control, nullptr, rect.left, rect.top + shift, rect.right - rect.left, height + grow,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    shift += grow;
  }
  if (shift == 0) return;
  for (const int id : kButtons) {
    const HWND button = GetDlgItem(dialog, id);
    if (button == nullptr) continue;
    const RECT rect = rect_in_dialog(dialog, button);
    SetWindowPos(button, nullptr, rect.left, rect.top + shift, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  SetWindowPos(dialog, nullptr, 0, 0, window.right - window.left, window.bottom - window.top + shift,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

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
      for (std::size_t i = 0; i < texts->buttons.size(); ++i) SetDlgItemTextW(dialog, kButtons[i], texts->buttons[i]);
      fit_to_texts(dialog);
      centre_over_owner(dialog);
      return TRUE;  // the system focuses the default button, the first one
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

// 0, 1 or 2 for the first, second or third button (Escape and closing: the third).
int run_dialog(HINSTANCE instance, HWND parent, const DialogTexts& texts) {
  const INT_PTR ended = DialogBoxParamW(instance, MAKEINTRESOURCEW(LANTERNIX_FAILURE_DIALOG), parent, dialog_procedure,
                                        reinterpret_cast<LPARAM>(&texts));
  switch (ended) {
    case LANTERNIX_RETRY_BUTTON:
      return 0;
    case LANTERNIX_MANUAL_BUTTON:
      return 1;
    case -1:
      break;
    default:
      return 2;
  }
  log(LogLevel::warn, "Could not show the failure dialog (Win32 error {}); asking with a message box", GetLastError());
  const std::wstring text = std::wstring(texts.message) + L"\n\n" + *texts.failure_text;
  const int answer = MessageBoxW(parent, text.c_str(), L"Lanternix", MB_ICONERROR | MB_RETRYCANCEL | MB_SETFOREGROUND);
  return answer == IDRETRY ? 0 : 2;
}

}  // namespace

std::wstring_view failure_message(ErrorCategory category, bool game_can_start) noexcept {
  switch (category) {
    case ErrorCategory::network:
      return game_can_start
                 ? L"Failed to connect to the lanternix server. Please choose Retry, Manual Patch or Bypass "
                   L"(Not recommended! It may cause unknown errors.)."
                 : L"Failed to connect to the lanternix server. Please choose Retry or Manual Patch: the game "
                   L"cannot start before an update has finished.";
    case ErrorCategory::server:
      return game_can_start
                 ? L"The lanternix server sent an update this launcher cannot use. Please choose Retry, Manual Patch "
                   L"or Bypass (Not recommended!)."
                 : L"The lanternix server sent an update this launcher cannot use. Please choose Retry or Manual "
                   L"Patch: the game cannot start before an update has finished.";
    case ErrorCategory::security:
      return game_can_start
                 ? L"The update could not be verified and was not installed. Please choose Retry, Manual Patch or "
                   L"Bypass (Not recommended!)."
                 : L"The update could not be verified and was not installed. Please choose Retry or Manual Patch: "
                   L"the game cannot start before an update has finished.";
    case ErrorCategory::disk_space:
      return L"There is not enough free disk space for the update. Free some space, then choose Retry.";
    case ErrorCategory::file_in_use:
      return L"A game file is in use. Close the game and choose Retry.";
    default:
      return game_can_start
                 ? L"The update could not be installed. Please choose Retry, Manual Patch or Bypass "
                   L"(Not recommended! It may cause unknown errors.)."
                 : L"The update could not be installed. Please choose Retry or Manual Patch: the game cannot start "
                   L"before an update has finished.";
  }
}

int show_failure_dialog(HINSTANCE instance, HWND parent, ErrorCategory category, const std::wstring& failure_text,
                        bool game_can_start) {
  const DialogTexts texts{&failure_text, failure_message(category, game_can_start),
                          {L"&Retry", L"&Manual Patch", game_can_start ? L"&Bypass" : L"&Close"}};
  const int answer = run_dialog(instance, parent, texts);
  return answer == 0 ? failure_retry : answer == 1 ? failure_manual_patch : failure_bypass;
}

int show_start_failure_dialog(HINSTANCE instance, HWND parent, const std::wstring& failure_text) {
  const DialogTexts texts{&failure_text, kStartFailureMessage, {L"&Try again", L"Re&pair", L"&Close"}};
  const int answer = run_dialog(instance, parent, texts);
  return answer == 0 ? start_try_again : answer == 1 ? start_repair : start_close;
}

}  // namespace kaldren::patcher
