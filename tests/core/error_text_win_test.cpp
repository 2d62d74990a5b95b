// The system's own message texts: expectations are computed with FormatMessageW,
// since its wording differs between Windows versions and Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "core/error.h"
#include "core/error_text_win.h"
#include "core/text.h"

namespace kaldren::patcher {
namespace {

std::wstring format_message(DWORD flags, HMODULE module, DWORD code, DWORD language) {
  wchar_t buffer[2048] = {};
  const DWORD length = FormatMessageW(flags | FORMAT_MESSAGE_IGNORE_INSERTS, module, code, language,
                                      buffer, static_cast<DWORD>(std::size(buffer)), nullptr);
  std::wstring text(buffer, length);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L'.' ||
                           text.back() == L' ')) {
    text.pop_back();
  }
  return text;
}

TEST(Win32ErrorTextWindows, FileNotFoundHasTheSystemText) {
  const std::wstring system = format_message(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 2, 1033);
  ASSERT_FALSE(system.empty()) << "the system has no text for code 2";
  EXPECT_EQ(win32_error_text("Could not open the file", ERROR_FILE_NOT_FOUND),
            "Could not open the file: " + to_utf8(system) + " (Win32 error 2)");
}

// A table without US English (this test's own, German only) still yields its text: in
// the player's language, not an empty "(Win32 error N)".
TEST(Win32ErrorTextWindows, FallsBackToThePlayersLanguage) {
  constexpr std::uint32_t kGermanOnly = 0x7A01;
  const LANGID before = GetThreadUILanguage();
  SetThreadUILanguage(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN));
  const std::string text = module_message(GetModuleHandleW(nullptr), kGermanOnly);
  SetThreadUILanguage(before);
  EXPECT_EQ(text, "Die Datei ist gesperrt");
  // Where US English exists it still comes first: the log stays readable for support.
  EXPECT_EQ(module_message(nullptr, ERROR_FILE_NOT_FOUND),
            to_utf8(format_message(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 2, 1033)));
}

TEST(Win32ErrorTextWindows, SeveralSystemCodes) {
  for (const DWORD code : {ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_DISK_FULL,
                           ERROR_PATH_NOT_FOUND, ERROR_ALREADY_EXISTS}) {
    SCOPED_TRACE(code);
    const std::wstring system = format_message(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 1033);
    const std::string expected =
        system.empty() ? "ctx (Win32 error " + std::to_string(code) + ")"
                       : "ctx: " + to_utf8(system) + " (Win32 error " + std::to_string(code) + ")";
    EXPECT_EQ(win32_error_text("ctx", code), expected);
  }
}

TEST(Win32ErrorTextWindows, WinHttpCodesUseTheWinHttpTableOnceLoaded) {
  constexpr DWORD kWinHttpTimeout = 12002;
  HMODULE winhttp = LoadLibraryExW(L"winhttp.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  ASSERT_NE(winhttp, nullptr);
  std::wstring expected =
      format_message(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, kWinHttpTimeout, 1033);
  if (expected.empty()) {
    expected = format_message(FORMAT_MESSAGE_FROM_HMODULE, winhttp, kWinHttpTimeout,
                              MAKELANGID(LANG_NEUTRAL, SUBLANG_NEUTRAL));
  }
  const std::string text = win32_error_text("Could not reach the patch source", kWinHttpTimeout);
  FreeLibrary(winhttp);
  // Wine's WinHTTP carries no message table; Windows' does.
  if (expected.empty()) {
    EXPECT_EQ(text, "Could not reach the patch source (Win32 error 12002)");
  } else {
    EXPECT_EQ(text,
              "Could not reach the patch source: " + to_utf8(expected) + " (Win32 error 12002)");
  }
}

TEST(Win32ErrorTextWindows, UnusedCodeHasNoText) {
  EXPECT_TRUE(format_message(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x20000001, 1033).empty());
  EXPECT_EQ(win32_error_text("Could not start", 0x20000001),
            "Could not start (Win32 error 536870913)");
}

}  // namespace
}  // namespace kaldren::patcher
