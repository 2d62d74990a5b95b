#include "core/unicode_case.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace kaldren::patcher {
namespace {

std::wstring units(std::u16string_view text) { return std::wstring(text.begin(), text.end()); }

TEST(UnicodeCase, SharedUpperCase) {
  struct Case {
    const char* name;
    char32_t code_point;
    bool shared;
  };
  const Case cases[] = {
      {"ASCII letter", U'a', true},
      {"Latin Extended Additional", 0x1EA1, true},
      {"ideograph", 0x4E00, true},
      {"private use", 0xE000, true},
      {"supplementary letter", 0x10428, true},
      {"plane 16 private use", 0x10FFFD, true},
      {"dotless i: upper case I is no case pair", 0x0131, false},
      {"final sigma", 0x03C2, false},
      {"title case digraph", 0x01C5, false},
      {"unassigned", 0x0378, false},
      {"noncharacter", 0xFFFF, false},
      {"unassigned supplementary", 0xE0080, false},
      {"beyond Unicode", 0x110000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(has_shared_upper_case(c.code_point), c.shared);
  }
}

TEST(UnicodeCase, FirstUnsharedUpperCase) {
  struct Case {
    std::u16string text;
    std::optional<char32_t> found;
  };
  const Case cases[] = {
      {u"data/\u1EA1.pak", std::nullopt},
      {u"", std::nullopt},
      {u"data/\u0131.pak", 0x0131},
      {u"\u1EA1\u0378\u0131", 0x0378},
      {{u'a', 0xDB40, 0xDC80}, 0xE0080},
      {{u'a', 0xD801, 0xDC28}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    EXPECT_EQ(first_unshared_upper_case(units(c.text)), c.found);
  }
}

// A launcher with older tables folds only some of these pairs. With every upper case
// its own upper case, it can never join names this fold keeps apart.
TEST(UnicodeCase, UpperCaseIsItsOwnUpperCaseInTheSamePlane) {
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    const char32_t upper = case_pair_upper(c);
    ASSERT_EQ(case_pair_upper(upper), upper) << std::hex << static_cast<std::uint32_t>(c);
    ASSERT_EQ(upper <= 0xFFFF, c <= 0xFFFF) << std::hex << static_cast<std::uint32_t>(c);
  }
}

}  // namespace
}  // namespace kaldren::patcher
