#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "build_constants.h"
#include "config/options.h"
#include "support/temp_folder.h"
#include "core/error.h"
#include "core/text.h"

namespace kaldren::patcher {
namespace {

using Arguments = std::vector<std::wstring>;

const std::string kUnknownTail =
    ". Supported: --root <folder>, --base-url <url> (repeatable), --channel <name>, "
    "--no-launch, --repair, --uninstall";

// A launcher placed in an empty folder: no installation, so setup unless told otherwise.
class CommandLine : public ::testing::Test {
 protected:
  LauncherOptions parse(const Arguments& arguments) {
    return parse_command_line(arguments, folder_ / L"Lanternix.exe");
  }

  std::string failure(const Arguments& arguments) {
    try {
      parse(arguments);
    } catch (const PatchError& error) {
      EXPECT_EQ(error.category(), ErrorCategory::configuration);
      return error.what();
    }
    return "";
  }

  test::TempFolder folder_;
};

TEST_F(CommandLine, DefaultsWithoutArguments) {
  LauncherOptions options = parse({});
  EXPECT_EQ(options.mode, RunMode::Setup);
  EXPECT_EQ(options.launcher_path, folder_ / L"Lanternix.exe");
  EXPECT_TRUE(options.arguments.empty());
  EXPECT_EQ(options.root, L"");
  EXPECT_EQ(options.sources, (Arguments{build::kDefaultSource, build::kDefaultMirror}));
  EXPECT_EQ(options.channel, "live");
  EXPECT_EQ(options.website, build::kWebsite);
  EXPECT_FALSE(options.sources_from_command_line);
  EXPECT_FALSE(options.channel_from_command_line);
  EXPECT_TRUE(options.launch_game);
  EXPECT_FALSE(options.repair);
  EXPECT_FALSE(options.quiet);
  EXPECT_FALSE(options.after_update);
  EXPECT_FALSE(options.wait_pid.has_value());
}

TEST_F(CommandLine, FlagsAndValuesAreTakenAndArgumentsKeptAsGiven) {
  const Arguments arguments = {L"--repair",   L"--quiet",      L"--after-update",
                               L"--wait-pid", L"4294967295",   L"--no-launch",
                               L"--channel",  L"beta-2"};
  LauncherOptions options = parse(arguments);
  EXPECT_EQ(options.arguments, arguments);
  EXPECT_TRUE(options.repair);
  EXPECT_TRUE(options.quiet);
  EXPECT_TRUE(options.after_update);
  EXPECT_EQ(options.wait_pid, 4294967295u);
  EXPECT_FALSE(options.launch_game);
  EXPECT_EQ(options.channel, "beta-2");
  EXPECT_TRUE(options.channel_from_command_line);
  EXPECT_FALSE(options.sources_from_command_line);
}

// Arguments given, and the list they should turn into.
struct ArgumentsCase {
  const char* name;
  Arguments arguments;
  Arguments expected;
};

TEST_F(CommandLine, BaseUrlReplacesTheDefaults) {
  const ArgumentsCase cases[] = {
      {"two addresses with comma, space and trailing slashes",
       {L"--base-url", L"https://one.example/patch//, https://two.example/"},
       {L"https://one.example/patch", L"https://two.example"}},
      {"case duplicates keep the first spelling",
       {L"--base-url", L"https://One.Example/P", L"--base-url", L"https://one.example/p/"},
       {L"https://One.Example/P"}},
      {"repeated options append in order",
       {L"--base-url", L"https://b.example", L"--base-url", L"https://a.example,https://b.example"},
       {L"https://b.example", L"https://a.example"}},
      {"a default given again is kept once, the other default dropped",
       {L"--base-url", std::wstring(build::kDefaultSource) + L"/"},
       {build::kDefaultSource}},
      {"local http with and without port",
       {L"--base-url", L"http://localhost,http://LOCALHOST:8080 http://127.0.0.1:1 http://[::1]:2"},
       {L"http://localhost", L"http://LOCALHOST:8080", L"http://127.0.0.1:1", L"http://[::1]:2"}},
      {"an empty value still drops the defaults", {L"--base-url", L""}, {}},
  };
  for (const ArgumentsCase& c : cases) {
    SCOPED_TRACE(c.name);
    LauncherOptions options = parse(c.arguments);
    EXPECT_EQ(options.sources, c.expected);
    EXPECT_TRUE(options.sources_from_command_line);
  }
}

TEST_F(CommandLine, BadArgumentsFailWithTheirMessages) {
  struct Case {
    Arguments arguments;
    std::string message;
  };
  const Case cases[] = {
      {{L"--root"}, "Missing value after --root on the command line"},
      {{L"--repair", L"--base-url"}, "Missing value after --base-url on the command line"},
      {{L"--channel"}, "Missing value after --channel on the command line"},
      {{L"--wait-pid"}, "Missing value after --wait-pid on the command line"},
      {{L"C:\\Games\\Kaldren"}, "Unknown command-line option C:\\Games\\Kaldren" + kUnknownTail},
      {{L"--ROOT", L"x"}, "Unknown command-line option --ROOT" + kUnknownTail},
      {{L"--root=x"}, "Unknown command-line option --root=x" + kUnknownTail},
      {{L"--quiet", L"--h\u00E9lp"}, "Unknown command-line option --h\xC3\xA9lp" + kUnknownTail},
      {{L"--uninstall-finish"}, "--uninstall-finish needs --root"},
      {{L"--uninstall", L"--uninstall-finish", L"--quiet"}, "--uninstall-finish needs --root"},
      // A value is the next argument whatever it looks like.
      {{L"--channel", L"--repair"},
       "The patch channel \"--repair\" must be 1-32 lowercase letters, digits, - or _"},
      {{L"--channel", L"Beta"},
       "The patch channel \"Beta\" must be 1-32 lowercase letters, digits, - or _"},
      {{L"--base-url", L"https://a.example", L"--base-url", L"http://patch.example:80/"},
       "The patch server address \"http://patch.example:80\" must start with https:// "
       "(http:// is allowed only for localhost)"},
      {{L"--wait-pid", L"0"}, "Invalid process id on the command line"},
      {{L"--wait-pid", L"+5"}, "Invalid process id on the command line"},
      {{L"--wait-pid", L"4294967296"}, "Invalid process id on the command line"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    EXPECT_EQ(failure(c.arguments), c.message);
  }
}

TEST_F(CommandLine, RootThatCannotBeMadeAbsoluteNamesTheOperationAndPath) {
  // An empty path has no absolute form.
  SetLastError(0);
  wchar_t buffer[MAX_PATH];
  ASSERT_EQ(GetFullPathNameW(L"", MAX_PATH, buffer, nullptr), 0u);
  const DWORD code = GetLastError();
  try {
    parse({L"--root", L""});
    FAIL() << "no error";
  } catch (const PatchError& error) {
    EXPECT_EQ(error.category(), ErrorCategory::configuration);
    EXPECT_EQ(std::string(error.what()),
              win32_error_text("Could not make the path absolute (absolute): ", code));
  }
}

TEST_F(CommandLine, ModeAndRootSelection) {
  test::TempFolder other;
  const std::wstring game = other / L"game";
  const std::wstring own = folder_.path().wstring();
  struct Case {
    const char* name;
    Arguments arguments;
    RunMode mode;
    std::wstring root;
  };
  const Case cases[] = {
      {"not installed: setup", {}, RunMode::Setup, L""},
      {"root given: patch", {L"--root", game}, RunMode::Patch, game},
      {"root made absolute and normal",
       {L"--root", other.path().wstring() + L"/x/../game/./"}, RunMode::Patch, game + L"\\"},
      {"later root wins", {L"--root", own, L"--root", game}, RunMode::Patch, game},
      {"uninstall defaults to the own folder", {L"--uninstall"}, RunMode::Uninstall, own},
      {"uninstall with root", {L"--uninstall", L"--root", game}, RunMode::Uninstall, game},
      {"uninstall-finish wins over uninstall",
       {L"--uninstall-finish", L"--root", game, L"--uninstall"}, RunMode::UninstallFinish, game},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    LauncherOptions options = parse(c.arguments);
    EXPECT_EQ(options.mode, c.mode);
    EXPECT_EQ(options.root, c.root);
  }
}

TEST_F(CommandLine, RelativeRootIsResolvedAgainstTheCurrentFolder) {
  std::wstring current(MAX_PATH, L'\0');
  current.resize(GetCurrentDirectoryW(MAX_PATH, current.data()));
  ASSERT_TRUE(SetCurrentDirectoryW(folder_.path().wstring().c_str()));
  LauncherOptions options = parse({L"--root", L"sub\\..\\game"});
  SetCurrentDirectoryW(current.c_str());
  EXPECT_EQ(options.root, folder_ / L"game");
}

TEST_F(CommandLine, InstalledOwnFolderRunsPatchModeThere) {
  folder_.write(L"Lanternix\\state.json", "{}");
  LauncherOptions options = parse({});
  EXPECT_EQ(options.mode, RunMode::Patch);
  EXPECT_EQ(options.root, folder_.path().wstring());
}

TEST(CommandLineOverload, UsesTheRunningExecutable) {
  LauncherOptions options = parse_command_line({L"--uninstall", L"--quiet"});
  EXPECT_EQ(options.launcher_path, launcher_executable_path());
  EXPECT_EQ(options.mode, RunMode::Uninstall);
  EXPECT_EQ(options.root,
            std::filesystem::path(launcher_executable_path()).parent_path().wstring());
}

TEST(ArgumentsForRestart, DropsTheHandOverOptions) {
  const ArgumentsCase cases[] = {
      {"nothing to drop", {L"--root", L"C:\\g", L"--repair"}, {L"--root", L"C:\\g", L"--repair"}},
      {"hand-over options removed, rest in order",
       {L"--root", L"C:\\g", L"--after-update", L"--wait-pid", L"123", L"--no-launch",
        L"--base-url", L"https://a.example"},
       {L"--root", L"C:\\g", L"--no-launch", L"--base-url", L"https://a.example"}},
      {"repeated", {L"--wait-pid", L"1", L"--after-update", L"--quiet", L"--wait-pid", L"2",
                    L"--after-update"},
       {L"--quiet"}},
      {"wait-pid as the last argument", {L"--repair", L"--wait-pid"}, {L"--repair"}},
      {"empty", {}, {}},
  };
  for (const ArgumentsCase& c : cases) {
    SCOPED_TRACE(c.name);
    LauncherOptions options;
    options.arguments = c.arguments;
    EXPECT_EQ(arguments_for_restart(options), c.expected);
  }
}

}  // namespace
}  // namespace kaldren::patcher
