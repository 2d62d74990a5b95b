// The conversions agree with the platform's own codec and case tables.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "core/text.h"

namespace kaldren::patcher {
namespace {

std::wstring platform_utf16(const std::string& utf8) {
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::wstring platform_upper(const std::wstring& text) {
  std::wstring out(text.size(), L'\0');
  LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(), static_cast<int>(text.size()),
                out.data(), static_cast<int>(out.size()), nullptr, nullptr, 0);
  return out;
}

TEST(TextWindows, WideStringsAreUtf16Units) {
  static_assert(sizeof(wchar_t) == 2);
  EXPECT_EQ(to_utf16("\xF0\x9F\x98\x80"), std::wstring(L"\xD83D\xDE00"));
}

TEST(TextWindows, AgreesWithThePlatformCodec) {
  for (const std::string text :
       {"plain", "caf\xC3\xA9", "\xE2\x82\xAC 5", "\xF0\x9F\x98\x80!", "a\x80z", "\xC3"}) {
    SCOPED_TRACE(text);
    EXPECT_EQ(to_utf16_lenient(text), platform_utf16(text));
  }
}

TEST(TextWindows, FoldAgreesWithTheInvariantLocale) {
  const std::wstring text = L"Data\\\x00E9t\x00E9\\\x0105\x03B1\x0436\x00DF.pak";
  EXPECT_EQ(fold_path_case(text), platform_upper(text));
  EXPECT_EQ(fold_path_case(L"\x00E9"), L"\x00C9");
  EXPECT_EQ(fold_path_case(L"\x00DF"), L"\x00DF");
}

TEST(TextWindows, PathFromUtf8IsTheWideName) {
  EXPECT_EQ(path_from_utf8("C:\\Games\\\xC3\xA9t\xC3\xA9").native(), L"C:\\Games\\\x00E9t\x00E9");
}

}  // namespace
}  // namespace kaldren::patcher
