// The conversions agree with the platform's own codec and case tables.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/text.h"
#include "core/unicode_case.h"

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

// The native fold's case pairs, generated from Unicode's data, against the system's
// invariant upper case of every code point alone (surrogate code points as lone units).
TEST(TextWindows, CasePairsAreTheInvariantUpperCaseOfEveryCodePoint) {
  const auto utf16_of = [](char32_t code_point) {
    if (code_point <= 0xFFFF) return std::wstring(1, static_cast<wchar_t>(code_point));
    code_point -= 0x10000;
    return std::wstring{static_cast<wchar_t>(0xD800 + (code_point >> 10)),
                        static_cast<wchar_t>(0xDC00 + (code_point & 0x3FF))};
  };
  std::vector<char32_t> differing;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (platform_upper(utf16_of(c)) != utf16_of(case_pair_upper(c))) differing.push_back(c);
  }
  ASSERT_TRUE(differing.empty()) << differing.size() << " code points differ, the first U+" << std::hex
                                 << static_cast<std::uint32_t>(differing.front());
  // Text as a whole folds the same: lone surrogates, pairs and letters side by side.
  const std::wstring text{0xDC28, L'a', 0xD801, 0xDC28, 0x1EA1, 0x0131, 0xFF41, 0xD801};
  EXPECT_EQ(upper_case_pairs(text), platform_upper(text));
}

TEST(TextWindows, PathFromUtf8IsTheWideName) {
  EXPECT_EQ(path_from_utf8("C:\\Games\\\xC3\xA9t\xC3\xA9").native(), L"C:\\Games\\\x00E9t\x00E9");
}

}  // namespace
}  // namespace kaldren::patcher
