#include "app/console_progress.h"

#include <gtest/gtest.h>

#include "core/text.h"

namespace kaldren::patcher {
namespace {

TEST(ShortenFromStart, KeepsWholeCharactersAndTheLimit) {
  const struct {
    std::string text;
    std::size_t max;
    std::string expected;
  } cases[] = {
      {"data/maps.pak", 40, "data/maps.pak"},
      {"abcdefghij", 10, "abcdefghij"},
      {"abcdefghijk", 10, "...efghijk"},
      // "é" is two bytes: a cut that would land inside it moves past it.
      {"data/\xC3\xA9t\xC3\xA9.pak", 9, "...\xC3\xA9.pak"},
      {"data/\xC3\xA9t\xC3\xA9.pak", 8, "....pak"},
      {"\xE2\x82\xAC\xE2\x82\xAC\xE2\x82\xAC", 7, "...\xE2\x82\xAC"},
      {"\xF0\x9F\x98\x80\xF0\x9F\x98\x80", 6, "..."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string shortened = shorten_from_start(c.text, c.max);
    EXPECT_EQ(shortened, c.expected);
    EXPECT_LE(shortened.size(), c.max);
    EXPECT_NO_THROW(to_utf16(shortened)) << "valid UTF-8";
  }
}

}  // namespace
}  // namespace kaldren::patcher
