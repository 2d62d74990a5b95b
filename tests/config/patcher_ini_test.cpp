#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "build_constants.h"
#include "config/options.h"
#include "support/failure_of.h"
#include "support/temp_folder.h"
#include "core/error.h"
#include "core/text.h"

namespace kaldren::patcher {
namespace {

using Strings = std::vector<std::wstring>;

const Strings kDefaults = {build::kDefaultSource, build::kDefaultMirror};

struct IniCase {
  const char* name;
  std::string ini;
  Strings extra_arguments;
  Strings sources;
  std::string channel;
  std::wstring website;
  bool launch_game;
};

// The bytes of a file saved as UTF-16 with its byte-order mark (Notepad's "Unicode").
std::string utf16_file(std::string_view ascii) {
  std::string bytes = "\xFF\xFE";
  for (const char c : ascii) bytes += std::string{c, '\0'};
  return bytes;
}

const std::wstring kLongAddress = L"https://a.example/" + std::wstring(4080, L'p');

TEST(PatcherIni, SettingsApplyBelowTheCommandLine) {
  const IniCase cases[] = {
      {"UTF-8 byte-order mark before the first section", "\xEF\xBB\xBF[server]\r\nchannel=beta\r\n", {},
       kDefaults, "beta", build::kWebsite, true},
      {"UTF-16 with its byte-order mark", utf16_file("[server]\r\nchannel=beta\r\n[launcher]\r\nauto_launch=0\r\n"),
       {}, kDefaults, "beta", build::kWebsite, false},
      {"a value past 4095 characters is read whole",
       "[server]\r\nbase_url=" + to_utf8(kLongAddress) + ", https://mirror.example/pub\r\n", {},
       {kLongAddress, L"https://mirror.example/pub"}, "live", build::kWebsite, true},
      {"names in any case, blanks around names and values, quotes dropped",
       "[ Server ]\r\n  Channel =\t\"beta\"  \r\n[LAUNCHER]\r\nwebsite = 'https://w.example'\r\n", {}, kDefaults,
       "beta", L"https://w.example", true},
      {"comments and keys before any section ignored",
       "channel=ptr\r\n[server]\r\n;channel=qa\r\nchannel=beta\r\n", {}, kDefaults, "beta", build::kWebsite,
       true},
      {"the first of a repeated key or section counts",
       "[server]\r\nchannel=beta\r\nchannel=ptr\r\n[server]\r\nchannel=qa\r\n", {}, kDefaults, "beta",
       build::kWebsite, true},
      {"line feeds alone end lines", "[launcher]\nauto_launch=0\n[server]\nchannel=beta", {}, kDefaults, "beta",
       build::kWebsite, false},
      {"no keys", "[server]\r\n[launcher]\r\n", {}, kDefaults, "live", build::kWebsite, true},
      {"empty base_url keeps the defaults", "[server]\r\nbase_url=\r\n", {}, kDefaults, "live",
       build::kWebsite, true},
      {"base_url of separators only keeps the defaults", "[server]\r\nbase_url= , ,\r\n", {},
       kDefaults, "live", build::kWebsite, true},
      {"base_url replaces the defaults",
       "[server]\r\nbase_url=https://a.example/, https://A.EXAMPLE https://b.example\r\n", {},
       {L"https://a.example", L"https://b.example"}, "live", build::kWebsite, true},
      {"base_url ignored after --base-url", "[server]\r\nbase_url=https://ini.example\r\n",
       {L"--base-url", L"https://cli.example"}, {L"https://cli.example"}, "live", build::kWebsite,
       true},
      {"channel from the file", "[server]\r\nchannel=beta\r\n", {}, kDefaults, "beta",
       build::kWebsite, true},
      {"channel ignored after --channel", "[server]\r\nchannel=beta\r\n", {L"--channel", L"ptr"},
       kDefaults, "ptr", build::kWebsite, true},
      {"website honoured with everything on the command line",
       "[launcher]\r\nwebsite=https://help.example/patch\r\n",
       {L"--base-url", L"https://cli.example", L"--channel", L"ptr", L"--repair"},
       {L"https://cli.example"}, "ptr", L"https://help.example/patch", true},
      {"website unchecked", "[launcher]\r\nwebsite=not an address\r\n", {}, kDefaults, "live",
       L"not an address", true},
      {"auto_launch=false keeps launching", "[launcher]\r\nauto_launch=false\r\n", {}, kDefaults,
       "live", build::kWebsite, true},
      {"auto_launch=00 keeps launching", "[launcher]\r\nauto_launch=00\r\n", {}, kDefaults, "live",
       build::kWebsite, true},
      {"auto_launch=0 turns launching off", "[launcher]\r\nauto_launch=0\r\n", {}, kDefaults,
       "live", build::kWebsite, false},
      {"--no-launch beats auto_launch=1", "[launcher]\r\nauto_launch=1\r\n", {L"--no-launch"},
       kDefaults, "live", build::kWebsite, false},
      {"trailing spaces and tabs trimmed",
       "[server]\r\nchannel=beta \t \r\nbase_url=https://t.example/ \t\r\n"
       "[launcher]\r\nauto_launch=0\t \r\nwebsite=https://w.example\t\r\n",
       {}, {L"https://t.example"}, "beta", L"https://w.example", false},
      {"keys in the wrong section ignored",
       "[launcher]\r\nchannel=beta\r\nbase_url=https://x.example\r\n"
       "[server]\r\nauto_launch=0\r\nwebsite=https://w.example\r\n",
       {}, kDefaults, "live", build::kWebsite, true},
  };
  for (const IniCase& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempFolder root;
    root.write(L"Lanternix\\patcher.ini", c.ini);
    Strings arguments = {L"--root", root.path().wstring()};
    arguments.insert(arguments.end(), c.extra_arguments.begin(), c.extra_arguments.end());
    LauncherOptions options = parse_command_line(arguments, root / L"Lanternix.exe");
    EXPECT_EQ(options.sources, c.sources);
    EXPECT_EQ(options.channel, c.channel);
    EXPECT_EQ(options.website, c.website);
    EXPECT_EQ(options.launch_game, c.launch_game);
  }
}

TEST(PatcherIni, MissingFileOrFolderInItsPlaceChangesNothing) {
  test::TempFolder missing;
  test::TempFolder folder;
  folder.make_folder(L"Lanternix\\patcher.ini");
  for (const test::TempFolder* root : {&missing, &folder}) {
    SCOPED_TRACE(root->path().string());
    LauncherOptions options;
    options.channel = "kept";
    read_patcher_ini(options, root->path().wstring());
    EXPECT_EQ(options.sources, kDefaults);
    EXPECT_EQ(options.channel, "kept");
    EXPECT_EQ(options.website, build::kWebsite);
    EXPECT_TRUE(options.launch_game);
  }
}

TEST(PatcherIni, AFileTooLargeForSettingsIsAConfigurationError) {
  test::TempFolder root;
  const auto file = root.write(L"Lanternix\\patcher.ini", "[server]\r\nchannel=beta\r\n" + std::string(1048576, ';'));
  LauncherOptions options;
  EXPECT_TRUE(test::fails_with([&] { read_patcher_ini(options, root.path().wstring()); },
                               ErrorCategory::configuration, display_path(file) + " is larger than expected"));
  EXPECT_EQ(options.channel, "live");
}

TEST(PatcherIni, BadValuesFailLikeOnTheCommandLine) {
  struct Case {
    std::string ini;
    std::string message;
  };
  const Case cases[] = {
      {"[server]\r\nchannel=Beta\r\n",
       "The patch channel \"Beta\" must be 1-32 lowercase letters, digits, - or _"},
      {"[server]\r\nbase_url=https://a.example,http://b.example\r\n",
       "The patch server address \"http://b.example\" must start with https:// (http:// is "
       "allowed only for localhost)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    test::TempFolder root;
    root.write(L"Lanternix\\patcher.ini", c.ini);
    LauncherOptions options;
    try {
      read_patcher_ini(options, root.path().wstring());
      ADD_FAILURE() << "no error";
    } catch (const PatchError& error) {
      EXPECT_EQ(error.category(), ErrorCategory::configuration);
      EXPECT_EQ(std::string(error.what()), c.message);
    }
  }
}

}  // namespace
}  // namespace kaldren::patcher
