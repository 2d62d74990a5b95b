// The failure dialog answered as a user would (keys, buttons, closing), its texts per
// category, and the message box that stands in when the dialog resource is missing.
#include "ui/failure_dialog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/text.h"
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
    EXPECT_EQ(texts[2] + L"|" + texts[3] + L"|" + texts[4], L"&Retry|&Manual Patch|&Bypass");
  }
  EXPECT_EQ(failure_message(ErrorCategory::network),
            L"Failed to connect to the lanternix server. Please choose Retry, Manual Patch or Bypass (Not recommended! "
            L"It may cause unknown errors.).");
}

// Where a control lies in its dialog's client area.
RECT client_rect_of(HWND dialog, int id) {
  RECT rect{};
  GetWindowRect(GetDlgItem(dialog, id), &rect);
  MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&rect), 2);
  return rect;
}

// The height `id`'s text needs at its width and font, wrapped as a static control wraps.
int needed_height(HWND dialog, int id) {
  const HWND control = GetDlgItem(dialog, id);
  std::wstring text(4096, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(control, text.data(), 4096)));
  RECT client{};
  GetClientRect(control, &client);
  const HDC dc = GetDC(control);
  const HGDIOBJ previous = SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0)));
  RECT needed{0, 0, client.right, 0};
  DrawTextW(dc, text.c_str(), -1, &needed, DT_CALCRECT | DT_WORDBREAK | DT_EDITCONTROL | DT_NOPREFIX);
  SelectObject(dc, previous);
  ReleaseDC(control, dc);
  return needed.bottom;
}

// Every kind of the dialog with a real, long failure (a deep path and the system's own
// text): each text is as tall as it needs, nothing overlaps, the buttons stay inside,
// the labels carry access keys, and the font is no raster one.
TEST(FailureDialog, ShowsLongMessagesWholeWithEveryKindOfChoice) {
  SKIP_WITHOUT_WINDOWS();
  const std::wstring game =
      L"C:\\Users\\Player\\AppData\\Local\\Programs\\Kaldren Morvale\\bin\\64\\Kaldren.exe";
  const std::wstring long_failure =
      to_utf16_lenient(win32_error_text("Could not start " + to_utf8_lenient(game), ERROR_ACCESS_DENIED)) +
      L" and the same again: " + to_utf16_lenient(win32_error_text("Could not read " + to_utf8_lenient(game), 2));
  const struct {
    const char* kind;
    int (*show)(const std::wstring&);
    const wchar_t* message;
    const wchar_t* buttons;
  } cases[] = {
      {"failed update",
       [](const std::wstring& text) {
         return show_failure_dialog(GetModuleHandleW(nullptr), nullptr, ErrorCategory::network, text);
       },
       failure_message(ErrorCategory::network).data(), L"&Retry|&Manual Patch|&Bypass"},
      {"failed update, no game to start",
       [](const std::wstring& text) {
         return show_failure_dialog(GetModuleHandleW(nullptr), nullptr, ErrorCategory::io, text, false);
       },
       failure_message(ErrorCategory::io, false).data(), L"&Retry|&Manual Patch|&Close"},
      {"game did not start",
       [](const std::wstring& text) { return show_start_failure_dialog(GetModuleHandleW(nullptr), nullptr, text); },
       kStartFailureMessage, L"&Try again|Re&pair|&Close"},
  };
  for (const auto& c : cases) {
    for (const std::wstring& failure : {failure_text, long_failure}) {
      std::vector<std::string> problems;
      std::wstring buttons;
      std::wstring message;
      test::answer_next_dialog([&](HWND dialog) {
        message = item_text(dialog, LANTERNIX_FAILURE_MESSAGE);
        buttons = item_text(dialog, LANTERNIX_RETRY_BUTTON) + L"|" + item_text(dialog, LANTERNIX_MANUAL_BUTTON) +
                  L"|" + item_text(dialog, LANTERNIX_BYPASS_BUTTON);
        int bottom = 0;
        for (const int id : {LANTERNIX_FAILURE_TEXT, LANTERNIX_FAILURE_MESSAGE}) {
          const RECT rect = client_rect_of(dialog, id);
          if (rect.bottom - rect.top < needed_height(dialog, id)) problems.push_back("text " + std::to_string(id) + " cut");
          if (rect.top < bottom) problems.push_back("text " + std::to_string(id) + " overlaps the one above");
          bottom = rect.bottom;
        }
        RECT client{};
        GetClientRect(dialog, &client);
        for (const int id : {LANTERNIX_RETRY_BUTTON, LANTERNIX_MANUAL_BUTTON, LANTERNIX_BYPASS_BUTTON}) {
          const RECT rect = client_rect_of(dialog, id);
          if (rect.top < bottom) problems.push_back("button " + std::to_string(id) + " over the texts");
          if (rect.bottom > client.bottom) problems.push_back("button " + std::to_string(id) + " outside");
        }
        LOGFONTW font{};
        GetObjectW(reinterpret_cast<HFONT>(SendMessageW(dialog, WM_GETFONT, 0, 0)), sizeof(font), &font);
        if (lstrcmpiW(font.lfFaceName, L"System") == 0) problems.push_back("the raster System font");
        PostMessageW(dialog, WM_KEYDOWN, VK_ESCAPE, 0);
      });
      EXPECT_EQ(c.show(failure), 2) << c.kind;  // Escape: Bypass, Close
      EXPECT_EQ(message, c.message) << c.kind;
      EXPECT_EQ(buttons, c.buttons) << c.kind;
      for (const std::string& problem : problems) ADD_FAILURE() << c.kind << ": " << problem;
    }
  }
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
