// The failure dialog answered as a user would (keys, buttons, closing), its texts per
// category, and the message box that stands in when the dialog resource is missing.
#include "ui/failure_dialog.h"

#include <gtest/gtest.h>

#include <string>

#include "ui/resource_ids.h"
#include "ui_test_support.h"

namespace kaldren::patcher {
namespace {

const std::wstring failure_text = L"Disk C: is full";

std::wstring item_text(HWND dialog, int id) {
  wchar_t text[512] = {};
  GetDlgItemTextW(dialog, id, text, 512);
  return text;
}

TEST(FailureDialog, AnswersByKeyButtonAndClose) {
  SKIP_WITHOUT_WINDOWS();
  const struct {
    const char* how;
    void (*act)(HWND);
    int answer;
  } cases[] = {
      {"Escape", [](HWND d) { PostMessageW(d, WM_KEYDOWN, VK_ESCAPE, 0); }, failure_bypass},
      {"close", [](HWND d) { PostMessageW(d, WM_CLOSE, 0, 0); }, failure_bypass},
      {"Enter", [](HWND d) { PostMessageW(d, WM_KEYDOWN, VK_RETURN, 0); }, failure_retry},
      {"Manual Patch", [](HWND d) { SendMessageW(GetDlgItem(d, LANTERNIX_MANUAL_BUTTON), BM_CLICK, 0, 0); },
       failure_manual_patch},
      {"Bypass", [](HWND d) { SendMessageW(GetDlgItem(d, LANTERNIX_BYPASS_BUTTON), BM_CLICK, 0, 0); }, failure_bypass},
  };
  for (const auto& c : cases) {
    test::answer_next_dialog(c.act);
    EXPECT_EQ(show_failure_dialog(GetModuleHandleW(nullptr), nullptr, ErrorCategory::io, failure_text), c.answer)
        << c.how;
  }
}

TEST(FailureDialog, ShowsTheFailureAndTheCategorysMessage) {
  SKIP_WITHOUT_WINDOWS();
  const struct {
    ErrorCategory category;
    const wchar_t* starts;
  } cases[] = {
      {ErrorCategory::network, L"Failed to connect to the lanternix server."},
      {ErrorCategory::server, L"The lanternix server sent an update this launcher cannot use."},
      {ErrorCategory::security, L"The update could not be verified and was not installed."},
      {ErrorCategory::disk_space, L"There is not enough free disk space for the update."},
      {ErrorCategory::file_in_use, L"A game file is in use. Close the game and choose Retry."},
      {ErrorCategory::io, L"The update could not be installed."},
      {ErrorCategory::configuration, L"The update could not be installed."},
      {ErrorCategory::cancelled, L"The update could not be installed."},
      {ErrorCategory::internal, L"The update could not be installed."},
      {static_cast<ErrorCategory>(42), L"The update could not be installed."},
  };
  std::wstring_view shown_last;
  for (const auto& c : cases) {
    EXPECT_EQ(failure_message(c.category).rfind(c.starts, 0), 0u) << category_name(c.category);
    if (failure_message(c.category) == shown_last) continue;  // each window costs seconds under Xvfb
    shown_last = failure_message(c.category);
    std::wstring texts[5];
    test::answer_next_dialog([&](HWND dialog) {
      const int ids[] = {LANTERNIX_FAILURE_TEXT, LANTERNIX_FAILURE_MESSAGE, LANTERNIX_RETRY_BUTTON,
                         LANTERNIX_MANUAL_BUTTON, LANTERNIX_BYPASS_BUTTON};
      for (int i = 0; i < 5; ++i) texts[i] = item_text(dialog, ids[i]);
      PostMessageW(dialog, WM_CLOSE, 0, 0);
    });
    show_failure_dialog(GetModuleHandleW(nullptr), nullptr, c.category, failure_text);
    EXPECT_EQ(texts[0], failure_text);
    EXPECT_EQ(texts[1], failure_message(c.category));
    EXPECT_EQ(texts[2] + L"|" + texts[3] + L"|" + texts[4], L"Retry|Manual Patch|Bypass");
  }
  EXPECT_EQ(failure_message(ErrorCategory::network),
            L"Failed to connect to the lanternix server. Please choose Retry, Manual Patch or Bypass (Not recommended! "
            L"It may cause unknown errors.).");
}

TEST(FailureDialog, WithoutTheDialogAMessageBoxAsksRetryOrCancel) {
  SKIP_WITHOUT_WINDOWS();
  const HINSTANCE no_dialog = GetModuleHandleW(L"kernel32.dll");
  for (const auto& [button, answer] : {std::pair{IDCANCEL, failure_bypass}, std::pair{IDRETRY, failure_retry}}) {
    std::wstring shown;
    test::answer_next_dialog([&, button = button](HWND box) {
      shown = test::static_texts(box);
      PostMessageW(box, WM_COMMAND, button, 0);
    });
    EXPECT_EQ(show_failure_dialog(no_dialog, nullptr, ErrorCategory::disk_space, failure_text), answer);
    EXPECT_NE(shown.find(std::wstring(failure_message(ErrorCategory::disk_space)) + L"\n\n" + failure_text),
              std::wstring::npos)
        << "shown: " << std::string(shown.begin(), shown.end());
  }
}

}  // namespace
}  // namespace kaldren::patcher
