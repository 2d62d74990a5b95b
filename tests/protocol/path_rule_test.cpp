#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>

#include "core/error.h"
#include "protocol/path_rule.h"

namespace kaldren::patcher {
namespace {

using namespace std::string_view_literals;

struct PathCase {
  const char* why;
  std::string path;
};

const std::string segment_255(255, 's');
const std::string segment_256(256, 's');

const PathCase unsafe_paths[] = {
    {"empty", ""},
    {"leading slash", "/x"},
    {"trailing slash", "x/"},
    {"only a slash", "/"},
    {"empty segment", "a//b"},
    {"dot segment", "./a"},
    {"dot segment at the end", "a/."},
    {"dot-dot segment", "a/../b"},
    {"dot-dot alone", ".."},
    {"final dot", "a/b."},
    {"final space", "a/b "},
    {"space-ended folder", "a /b"},
    {"device with extension", "aux.txt"},
    {"device in mixed case", "Com1.log"},
    {"device without extension", "lpt9"},
    {"device in a folder", "data/NUL"},
    {"device with two extensions", "con.tar.gz"},
    {"printer device", "prn"},
    {"superscript one", "COM\xC2\xB9"},
    {"superscript two", "lpt\xC2\xB2.txt"},
    {"superscript three", "com\xC2\xB3"},
    {"short name", "progra~1/x"},
    {"short name inside", "a/LONGNA~9.TXT"},
    {"colon", "a:b"},
    {"backslash", "a\\b"},
    {"quotation mark", "a\"b"},
    {"asterisk", "a*b"},
    {"less-than", "a<b"},
    {"greater-than", "a>b"},
    {"question mark", "a?b"},
    {"vertical bar", "a|b"},
    {"tab", "a\tb"},
    {"unit separator", "a\x1F"},
    {"zero byte", std::string("a\0b", 3)},
    {"delete", "a\x7F"},
    {"segment of 256 bytes", "a/" + segment_256},
    {"path of 513 bytes", segment_255 + "/" + segment_255 + "/x"},
    {"launcher executable", "lanternix.EXE"},
    {"launcher data folder", "LANTERNIX/state.json"},
    {"launcher executable as folder", "Lanternix.exe/x"},
    {"byte 0xFF", "a\xFF"},
    {"lone continuation byte", "\x80"},
    {"truncated sequence", "caf\xC3"},
};

const PathCase safe_paths[] = {
    {"nested executable", "bin/64/Kaldren.exe"},
    {"com0", "com0"},
    {"com10", "COM10"},
    {"lpt without digit", "lpt"},
    {"lpt0", "LPT0.txt"},
    {"console", "console.txt"},
    {"device name as prefix", "nul_file/auxiliary"},
    {"device with suffix before dot", "com1x.log"},
    {"tilde without digit", "a~b/c"},
    {"tilde at the end", "a~/~"},
    {"digit before tilde", "1~a"},
    {"launcher name deeper down", "data/lanternix.exe"},
    {"launcher name with suffix", "Lanternix.exe.bak"},
    {"launcher name as prefix", "LanternixData/x"},
    {"hidden file", ".hidden"},
    {"dots inside", "a..b/...c"},
    {"inner space", " a b/c"},
    {"segment of 255 bytes", "a/" + segment_255},
    {"path of 512 bytes", segment_255 + "/" + std::string(254, 't') + "/x"},
    {"accented letters", "donn\xC3\xA9" "es/\xC3\xA9t\xC3\xA9.txt"},
    {"CJK and emoji", "\xE6\x97\xA5\xE6\x9C\xAC/\xF0\x9F\x98\x80.dat"},
    {"superscript after another name", "x\xC2\xB9"},
};

TEST(PathRuleTest, UnsafePaths) {
  for (const auto& c : unsafe_paths) {
    SCOPED_TRACE(c.why);
    EXPECT_FALSE(is_safe_path(c.path));
    EXPECT_THROW(require_safe_path(c.path), PatchError);
  }
}

TEST(PathRuleTest, SafePaths) {
  for (const auto& c : safe_paths) {
    SCOPED_TRACE(c.why);
    EXPECT_TRUE(is_safe_path(c.path));
    EXPECT_NO_THROW(require_safe_path(c.path));
  }
}

TEST(PathRuleTest, RequireSafePathMessage) {
  struct Case {
    std::string path;
    std::string shown;
  };
  const std::string long_path = std::string(128, 'a') + "/../rest";
  const Case cases[] = {
      {"a\\b", "a\\b"},
      {"", ""},
      {long_path, std::string(128, 'a')},
      {std::string(128, 'x') + "/", std::string(128, 'x')},
      {std::string(127, 'y') + ":", std::string(127, 'y') + ":"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    for (const bool resolve : {false, true}) {
      try {
        if (resolve) {
          resolve_path("root", c.path);
        } else {
          require_safe_path(c.path);
        }
        ADD_FAILURE() << "no exception";
      } catch (const PatchError& e) {
        EXPECT_EQ(e.category(), ErrorCategory::security);
        EXPECT_EQ(std::string(e.what()), "The patch names an unsafe file path: \"" + c.shown + "\"");
      }
    }
  }
}

// The result is the root with one component per segment, joined by the
// platform's own separator (a backslash on Windows).
TEST(PathRuleTest, ResolvePathAppendsSegmentsUnderRoot) {
  namespace fs = std::filesystem;
  const fs::path root = fs::path("games") / "Kaldren";
  struct Case {
    std::string_view path;
    fs::path expected;
  };
  const Case cases[] = {
      {"Kaldren.exe", root / "Kaldren.exe"},
      {"bin/64/Kaldren.exe", root / "bin" / "64" / "Kaldren.exe"},
      {"donn\xC3\xA9" "es/\xC3\xA9t\xC3\xA9.txt", root / fs::path(u8"donn\u00e9es") / fs::path(u8"\u00e9t\u00e9.txt")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const fs::path resolved = resolve_path(root, c.path);
    EXPECT_EQ(resolved.native(), c.expected.native());
    if (fs::path::preferred_separator != '/') {
      EXPECT_EQ(resolved.native().find('/'), fs::path::string_type::npos);
    }
  }
  EXPECT_EQ(resolve_path("", "a/b").native(), (fs::path("a") / "b").native());
}

}  // namespace
}  // namespace kaldren::patcher
