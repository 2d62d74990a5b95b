#include "core/version.h"

#include <gtest/gtest.h>

#include <string>

namespace kaldren::patcher {
namespace {

TEST(ParseVersion, Accepts) {
  const struct {
    const char* text;
    Version version;
  } cases[] = {
      {"0.1.0", {0, 1, 0}},
      {"0.0.0", {0, 0, 0}},
      {"1.2.3", {1, 2, 3}},
      {"10.20.30", {10, 20, 30}},
      {"1.2.4294967295", {1, 2, 4294967295u}},
      {"4294967295.4294967295.4294967295", {4294967295u, 4294967295u, 4294967295u}},
  };
  for (const auto& item : cases) {
    SCOPED_TRACE(item.text);
    const std::optional<Version> parsed = parse_version(item.text);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(*parsed, item.version);
    EXPECT_EQ(version_text(*parsed), item.text);
  }
}

TEST(ParseVersion, Rejects) {
  const std::string cases[] = {
      "",
      "1",
      "1.2",
      "1.2.3.4",
      "01.2.3",
      "1.02.3",
      "1.2.03",
      "00.1.2",
      "1..3",
      "..",
      ".1.2",
      "1.2.",
      "1.2.3.",
      ".1.2.3",
      "1.2.3 ",
      " 1.2.3",
      "1. 2.3",
      "1.2.4294967296",
      "4294967296.0.0",
      "1.2.99999999999999999999",
      "v1.2.3",
      "+1.2.3",
      "-1.2.3",
      "1.2.-3",
      "1.2.3-beta",
      "1.2.3a",
      "0x1.2.3",
      "1,2,3",
      "\xEF\xBC\x91.2.3",  // a full-width digit one
      std::string("1.2.3\0", 6),
  };
  for (const std::string& text : cases) {
    SCOPED_TRACE(text);
    EXPECT_FALSE(parse_version(text).has_value());
  }
}

TEST(Version, OrdersMajorThenMinorThenPatchAsNumbers) {
  EXPECT_GT((Version{1, 10, 0}), (Version{1, 9, 9}));
  EXPECT_GT((Version{2, 0, 0}), (Version{1, 99, 99}));
  EXPECT_GT((Version{1, 2, 4}), (Version{1, 2, 3}));
  EXPECT_GT((Version{0, 0, 4294967295u}), (Version{0, 0, 1}));
  EXPECT_LT((Version{1, 2, 3}), (Version{1, 3, 0}));
  EXPECT_EQ((Version{1, 2, 3}), *parse_version("1.2.3"));
  EXPECT_EQ((Version{1, 2, 3} <=> Version{1, 2, 3}), std::strong_ordering::equal);
}

TEST(Version, TextOfDefaultIsZeros) { EXPECT_EQ(version_text(Version{}), "0.0.0"); }

}  // namespace
}  // namespace kaldren::patcher
