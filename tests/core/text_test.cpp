#include "core/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "core/error.h"
#include "huge_text.h"

namespace kaldren::patcher {
namespace {

// Wide strings hold UTF-16 units on every platform; build them from char16_t
// literals so a test means the same units everywhere.
std::wstring units(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

template <typename Call>
void expect_patch_error(Call call, ErrorCategory category, const std::string& message) {
  try {
    call();
    ADD_FAILURE() << "expected PatchError \"" << message << "\"";
  } catch (const PatchError& error) {
    EXPECT_EQ(error.category(), category);
    EXPECT_EQ(error.what(), message);
  }
}

struct ValidPair {
  const char* name;
  std::string utf8;
  std::u16string utf16;
};

const ValidPair kValidPairs[] = {
    {"ascii", "Game/data.pak", u"Game/data.pak"},
    {"two-byte", "\xC3\xA9", u"\u00E9"},
    {"three-byte", "\xE2\x82\xAC", u"\u20AC"},
    {"four-byte", "\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
    {"highest BMP", "\xEF\xBF\xBF", u"\uFFFF"},
    {"highest code point", "\xF4\x8F\xBF\xBF", {0xDBFF, 0xDFFF}},
    {"lowest supplementary", "\xF0\x90\x80\x80", {0xD800, 0xDC00}},
    {"embedded NUL", std::string("a\0b", 3), std::u16string(u"a\0b", 3)},
    {"mixed", "x\xC3\xA9\xF0\x9F\x98\x80y", {u'x', 0xE9, 0xD83D, 0xDE00, u'y'}},
};

TEST(TextConversion, ValidTextConvertsBothWays) {
  for (const ValidPair& pair : kValidPairs) {
    SCOPED_TRACE(pair.name);
    const std::wstring wide = units(pair.utf16);
    EXPECT_EQ(to_utf16(pair.utf8), wide);
    EXPECT_EQ(to_utf8(wide), pair.utf8);
    EXPECT_EQ(to_utf16_lenient(pair.utf8), wide);
    EXPECT_EQ(to_utf8_lenient(wide), pair.utf8);
    EXPECT_EQ(to_utf8(to_utf16(pair.utf8)), pair.utf8);
  }
}

TEST(TextConversion, EmptyTextGivesEmptyText) {
  EXPECT_EQ(to_utf16(""), L"");
  EXPECT_EQ(to_utf8(L""), "");
  EXPECT_EQ(to_utf16_lenient(""), L"");
  EXPECT_EQ(to_utf8_lenient(L""), "");
}

struct InvalidUtf8 {
  const char* name;
  std::string bytes;
  std::u16string lenient;  // what the lenient conversion must give
};

// Only cases with a single malformed byte pin the lenient result, since the
// number of replacement characters for longer sequences is the platform's choice.
const InvalidUtf8 kInvalidUtf8[] = {
    {"lone continuation byte", "a\x80z", u"a\uFFFDz"},
    {"continuation byte at start", "\xBFz", u"\uFFFDz"},
    {"truncated two-byte at end", "a\xC3", u"a\uFFFD"},
    {"two-byte lead before ASCII", "\xC3z", u"\uFFFDz"},
    {"byte FF", "\xFFz", u"\uFFFDz"},
    {"byte FE", "a\xFE", u"a\uFFFD"},
    {"overlong slash", "\xC0\xAF", u""},
    {"overlong C1", "\xC1\xBF", u""},
    {"overlong three-byte", "\xE0\x80\xAF", u""},
    {"overlong four-byte", "\xF0\x80\x80\xAF", u""},
    {"high surrogate encoded", "\xED\xA0\x80", u""},
    {"low surrogate encoded", "\xED\xBF\xBF", u""},
    {"surrogate pair encoded", "\xED\xA0\xBD\xED\xB8\x80", u""},
    {"above U+10FFFF", "\xF4\x90\x80\x80", u""},
    {"five-byte form", "\xF8\x88\x80\x80\x80", u""},
    {"truncated four-byte", "\xF0\x9F\x98", u""},
    {"truncated three-byte before ASCII", "\xE2\x82z", u""},
};

TEST(TextConversion, StrictUtf16RejectsMalformedUtf8) {
  for (const InvalidUtf8& item : kInvalidUtf8) {
    SCOPED_TRACE(item.name);
    expect_patch_error([&] { to_utf16(item.bytes); }, ErrorCategory::configuration,
                       "Text is not valid UTF-8");
    expect_patch_error([&] { path_from_utf8(item.bytes); }, ErrorCategory::configuration,
                       "Text is not valid UTF-8");
  }
}

TEST(TextConversion, LenientUtf16ReplacesMalformedUtf8) {
  for (const InvalidUtf8& item : kInvalidUtf8) {
    SCOPED_TRACE(item.name);
    const std::wstring converted = to_utf16_lenient(item.bytes);
    ASSERT_FALSE(converted.empty());
    EXPECT_NE(converted.find(L'\xFFFD'), std::wstring::npos);
    if (!item.lenient.empty()) {
      EXPECT_EQ(converted, units(item.lenient));
    }
    // Whatever the replacements, the result is valid UTF-16.
    EXPECT_NO_THROW(to_utf8(converted));
  }
}

struct InvalidUtf16 {
  const char* name;
  std::u16string units;
  std::string lenient;
};

const InvalidUtf16 kInvalidUtf16[] = {
    {"lone high surrogate at end", {u'a', 0xD800}, "a\xEF\xBF\xBD"},
    {"lone high surrogate before ASCII", {0xD83D, u'z'}, "\xEF\xBF\xBDz"},
    {"lone low surrogate", {u'a', 0xDC00, u'z'}, "a\xEF\xBF\xBDz"},
    {"reversed pair", {0xDE00, 0xD83D}, "\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"two high surrogates", {0xD83D, 0xD83D, 0xDE00}, "\xEF\xBF\xBD\xF0\x9F\x98\x80"},
};

TEST(TextConversion, StrictUtf8RejectsMalformedUtf16) {
  for (const InvalidUtf16& item : kInvalidUtf16) {
    SCOPED_TRACE(item.name);
    expect_patch_error([&] { to_utf8(units(item.units)); }, ErrorCategory::configuration,
                       "Text is not valid UTF-16");
  }
}

TEST(TextConversion, LenientUtf8ReplacesLoneSurrogates) {
  for (const InvalidUtf16& item : kInvalidUtf16) {
    SCOPED_TRACE(item.name);
    EXPECT_EQ(to_utf8_lenient(units(item.units)), item.lenient);
  }
}

TEST(TextConversion, TooLongTextIsRefused) {
  constexpr std::size_t kTooLong = std::size_t{1} << 31;  // one above 2^31-1
  test_support::HugeText huge(kTooLong * sizeof(wchar_t));
  ASSERT_TRUE(huge.valid());
  expect_patch_error([&] { to_utf16(huge.narrow(kTooLong)); }, ErrorCategory::internal,
                     "Text is too long to convert");
  expect_patch_error([&] { to_utf8(huge.wide(kTooLong)); }, ErrorCategory::internal,
                     "Text is too long to convert");
  expect_patch_error([&] { fold_path_case(huge.wide(kTooLong)); }, ErrorCategory::internal,
                     "Text is too long to convert");
  expect_patch_error([&] { path_from_utf8(huge.narrow(kTooLong)); }, ErrorCategory::internal,
                     "Text is too long to convert");
  EXPECT_EQ(to_utf16_lenient(huge.narrow(kTooLong)), L"");
  EXPECT_EQ(to_utf8_lenient(huge.wide(kTooLong)), "");
}

struct FoldCase {
  const char* name;
  std::u16string input;
  std::u16string folded;
};

const FoldCase kFoldCases[] = {
    {"ascii", u"data/Game.pak", u"DATA/GAME.PAK"},
    {"digits and punctuation", u"0-9_ [x].~", u"0-9_ [X].~"},
    {"latin-1", u"\u00E9t\u00E9", u"\u00C9T\u00C9"},
    {"latin-1 range", u"\u00E0\u00F6\u00F8\u00FE", u"\u00C0\u00D6\u00D8\u00DE"},
    {"division sign kept", u"\u00F7", u"\u00F7"},
    {"sharp s kept", u"stra\u00DFe", u"STRA\u00DFE"},
    {"y with diaeresis", u"\u00FF", u"\u0178"},
    {"latin extended-a", u"\u0105\u010D\u0142\u017C", u"\u0104\u010C\u0141\u017B"},
    {"latin extended-b", u"\u0219\u021B\u01CE", u"\u0218\u021A\u01CD"},
    {"greek", u"\u03B1\u03B2\u03C9\u03AC", u"\u0391\u0392\u03A9\u0386"},
    {"cyrillic", u"\u0430\u0436\u044F\u0451", u"\u0410\u0416\u042F\u0401"},
    {"already upper", u"\u00C9\u0391\u0416", u"\u00C9\u0391\u0416"},
    {"surrogate pair kept", {0xD83D, 0xDE00, u'a'}, {0xD83D, 0xDE00, u'A'}},
    {"latin extended additional", u"\u1EA1\u1EF9\u1E9E", u"\u1EA0\u1EF8\u1E9E"},
    {"fullwidth", u"\uFF41\uFF5A", u"\uFF21\uFF3A"},
    {"armenian, georgian, cherokee", u"\u0561\u10D0\uAB70\u13F8", u"\u0531\u1C90\u13A0\u13F0"},
    {"numerals and circled letters", u"\u2170\u24D0", u"\u2160\u24B6"},
    {"upper cases that are no case pair kept", u"\u00B5\u0131\u017F\u01C5\u0345\u03C2\u03D0\u1C80\u1E9B\u1FBE",
     u"\u00B5\u0131\u017F\u01C5\u0345\u03C2\u03D0\u1C80\u1E9B\u1FBE"},
    {"supplementary case pair", {0xD801, 0xDC28, 0xD83A, 0xDD22}, {0xD801, 0xDC00, 0xD83A, 0xDD00}},
    {"lone surrogates kept", {0xDC28, u'a', 0xD801}, {0xDC28, u'A', 0xD801}},
};

TEST(FoldPathCase, UpperCasesKeepingTheLength) {
  for (const FoldCase& item : kFoldCases) {
    SCOPED_TRACE(item.name);
    const std::wstring folded = fold_path_case(units(item.input));
    EXPECT_EQ(folded, units(item.folded));
    EXPECT_EQ(folded.size(), item.input.size());
  }
}

TEST(FoldPathCase, DifferentlyCasedPathsFoldEqual) {
  EXPECT_EQ(fold_path_case(units(u"Data/\u00C9t\u00E9.pak")),
            fold_path_case(units(u"DATA/\u00E9T\u00C9.PAK")));
  EXPECT_NE(fold_path_case(L"data/a.pak"), fold_path_case(L"data/b.pak"));
  EXPECT_EQ(fold_path_case(L""), L"");
}

TEST(PathFromUtf8, KeepsTheNameAndItsParts) {
  const std::filesystem::path path = path_from_utf8("data/\xC3\xA9t\xC3\xA9.pak");
  EXPECT_EQ(path, std::filesystem::path(u8"data/\u00E9t\u00E9.pak"));
  EXPECT_EQ(path.filename(), std::filesystem::path(u8"\u00E9t\u00E9.pak"));
  EXPECT_EQ(path_from_utf8(""), std::filesystem::path());
}

struct SizeCase {
  std::uint64_t bytes;
  const char* text;
};

const SizeCase kSizes[] = {
    {0, "0 bytes"},
    {1, "1 bytes"},
    {1023, "1023 bytes"},
    {1024, "1.0 KB"},
    {1075, "1.0 KB"},
    {1076, "1.1 KB"},
    {1536, "1.5 KB"},
    {102348, "99.9 KB"},
    {102349, "100.0 KB"},  // below 100 before rounding keeps its decimal
    {102400, "100 KB"},
    {1048575, "1024 KB"},
    {1048576, "1.0 MB"},
    {1572864, "1.5 MB"},
    {1073741824, "1.0 GB"},
    {std::uint64_t{1} << 40, "1.0 TB"},
    {std::uint64_t{1} << 50, "1024 TB"},
    {std::uint64_t{1} << 60, "1048576 TB"},
    {UINT64_MAX, "16777216 TB"},
};

TEST(FormatSize, Table) {
  for (const SizeCase& item : kSizes) {
    SCOPED_TRACE(item.bytes);
    EXPECT_EQ(format_size(item.bytes), item.text);
  }
}

}  // namespace
}  // namespace kaldren::patcher
