// Folder checks, installing before the first update and removing an installation, on
// the real file system under the test user's profile; the user's registration and
// shortcuts are put back after each test.
#include <windows.h>
#include <aclapi.h>
#include <knownfolders.h>

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <map>
#include <sstream>

#include "build_constants.h"
#include "config/options.h"
#include "core/log.h"
#include "core/text.h"
#include "engine/fake_publication.h"
#include "engine/launcher_state.h"
#include "install/installation.h"
#include "install/registration.h"
#include "install/uninstall.h"
#include "install/windows_traces.h"
#include "protocol/crypto.h"
#include "support/failure_of.h"
#include "support/log_reader.h"
#include "support/temp_folder.h"
#include "system/file_operations.h"
#include "system/processes.h"

namespace kaldren::patcher {
namespace {

constexpr std::string_view kRootMessage = "Choose a folder, not the root of a drive.";
constexpr std::string_view kProtectedMessage =
    "Windows protects that folder, so the game could not update itself there. Choose a folder in your user profile "
    "or on another drive.";

FileSystem& disk() { return system_file_system(); }

std::string bytes_of(const std::filesystem::path& path) {
  try {
    return read_file(disk(), path, UINT64_MAX);
  } catch (const PatchError&) {
    return "<missing>";
  }
}

bool is_there(const std::filesystem::path& path) {
  FileStatus status;
  return disk().status(path, status) == 0;
}

Version running_version() { return *parse_version(build::kLauncherVersion); }

TEST(FolderChecks, RefuseRootsProtectedFoldersAndFiles) {
  const test::TempFolder temp;
  const std::pair<std::wstring, std::string_view> refused[] = {
      {L"C:\\", kRootMessage},
      {L"C:", kRootMessage},
      {L"relative\\game", kRootMessage},
      {temp.write("a file", "x").wstring(), "That location is a file, not a folder."},
  };
  for (const auto& [folder, message] : refused) {
    EXPECT_TRUE(test::fails_with([&] { check_install_folder(folder, 0); }, ErrorCategory::configuration, message))
        << to_utf8(folder);
  }
  for (const GUID* id : {&FOLDERID_Windows, &FOLDERID_ProgramFiles, &FOLDERID_ProgramFilesX86, &FOLDERID_System}) {
    const std::wstring folder = known_folder_path(*id);
    for (const std::wstring& inside : {folder, folder + L"\\Kaldren Morvale", fold_path_case(folder) + L"\\a\\b"}) {
      EXPECT_TRUE(test::fails_with([&] { check_install_folder(inside, 0); }, ErrorCategory::configuration,
                                   kProtectedMessage))
          << to_utf8(inside);
    }
    // Only whole elements count: a sibling whose name starts alike is a folder like any
    // other (but the system folder's sibling lies in the Windows folder).
    if (id == &FOLDERID_System) continue;
    const std::wstring sibling = folder + L" Extra";
    const bool existed = is_there(sibling);
    EXPECT_NO_THROW(check_install_folder(sibling, 0)) << to_utf8(sibling);
    if (!existed) RemoveDirectoryW(sibling.c_str());
  }
  const std::filesystem::path fresh = temp / "new/deeper";
  EXPECT_GT(check_install_folder(fresh.wstring(), 0), 0u);
  EXPECT_TRUE(std::filesystem::is_directory(fresh)) << "the write test creates the folder";
}

TEST(FolderChecks, NeedTheInstallSizeAndTheMarginFree) {
  const test::TempFolder temp;
  const std::wstring folder = temp.path().wstring();
  bool at_limit = false;
  bool one_byte_short = false;
  // Other programs write to the same drive: judge only attempts the free space held still for.
  for (int attempt = 0; attempt < 100 && !(at_limit && one_byte_short); ++attempt) {
    const std::uint64_t free = free_space(disk(), folder);
    if (!at_limit) {
      std::uint64_t answered = 0;
      try {
        answered = check_install_folder(folder, free - kFreeSpaceMargin);
      } catch (const PatchError&) {
      }
      if (free_space(disk(), folder) != free) continue;
      EXPECT_EQ(answered, free);
      at_limit = true;
    }
    const PatchError failure = test::failure_of([&] { check_install_folder(folder, free - kFreeSpaceMargin + 1); });
    if (free_space(disk(), folder) != free) continue;
    EXPECT_EQ(failure.category(), ErrorCategory::disk_space);
    EXPECT_EQ(failure.what(), "The game needs " + format_size(free + 1) + " of free space; that drive has " +
                                  format_size(free) + ".");
    one_byte_short = true;
  }
  EXPECT_TRUE(at_limit && one_byte_short) << "the drive's free space never held still";
}

TEST(FolderChecks, ResolveTheFolderToInstallInto) {
  const test::TempFolder temp;
  temp.write("full/file.txt", "x");
  temp.make_folder("empty");
  temp.make_folder("named/kaldren MORVALE");
  temp.write("named/kaldren MORVALE/file.txt", "x");
  const std::wstring game = L"\\Kaldren Morvale";
  const std::wstring base = temp.path().wstring();
  const std::pair<std::wstring, std::wstring> cases[] = {
      {L"C:\\", L"C:\\Kaldren Morvale"},
      {base + L"\\empty", base + L"\\empty"},
      {base + L"\\named\\kaldren MORVALE", base + L"\\named\\kaldren MORVALE"},
      {base + L"\\full", base + L"\\full" + game},
      {base + L"\\missing", base + L"\\missing"},
  };
  for (const auto& [picked, expected] : cases) EXPECT_EQ(resolve_install_folder(picked), expected) << to_utf8(picked);
}

TEST(FolderChecks, AccessIsLeftAloneInTheProfileAndRestrictedOutsideIt) {
  const test::TempFolder temp;
  test::LogReader log(temp / "test.log");
  restrict_folder_access((temp / "game").wstring());
  EXPECT_TRUE(log.lines().empty());

  const std::wstring outside = L"C:\\lanternix-access-test-" + std::to_wstring(GetCurrentProcessId());
  ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
  restrict_folder_access(outside);
  EXPECT_EQ(log.lines(), std::vector<std::string>{"INFO Restricted access to " + to_utf8(outside) + " to this user"});
  PACL list = nullptr;
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ASSERT_EQ(GetNamedSecurityInfoW(outside.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &list,
                                  nullptr, &descriptor),
            static_cast<DWORD>(ERROR_SUCCESS));
  EXPECT_EQ(list->AceCount, 3u);
  LocalFree(descriptor);
  EXPECT_TRUE(RemoveDirectoryW(outside.c_str()));
}

TEST(SetupSettings, PatcherIniOnlyForWhatTheCommandLineSet) {
  const test::TempFolder root;
  root.make_folder("Lanternix");
  LauncherOptions options;
  options.sources = {L"https://a.example", L"http://127.0.0.1:8080"};
  options.channel = "beta";
  const std::string head = "; Written by the setup from its command line.\r\n[server]\r\n";
  const std::string sources = "base_url=https://a.example, http://127.0.0.1:8080\r\n";
  const std::tuple<bool, bool, std::string> cases[] = {
      {false, false, "<missing>"},
      {true, false, head + sources},
      {false, true, head + "channel=beta\r\n"},
      {true, true, head + sources + "channel=beta\r\n"},
  };
  for (const auto& [from_sources, from_channel, expected] : cases) {
    std::filesystem::remove(root / "Lanternix/patcher.ini");
    options.sources_from_command_line = from_sources;
    options.channel_from_command_line = from_channel;
    write_setup_patcher_ini(options, root.path().wstring());
    EXPECT_EQ(bytes_of(root / "Lanternix/patcher.ini"), expected) << from_sources << from_channel;
  }
}

class InstallGame : public ::testing::Test {
 protected:
  InstallGame() {
    test::WindowsTraces::clear();
    release_.channel = "live";
    release_.sequence = 7;
    release_.client.version = {1, 4, 2};
    release_.client.install_size = 5000;
    release_.launcher.version = running_version();
    release_.launcher.file = publication_.add_object("published launcher");
    publication_.disk = &disk();
  }

  InstallResult install(bool desktop_shortcut) {
    const InstallResult result = install_game({root_.wstring(), desktop_shortcut}, release_, publication_, options_, {});
    open_log({});  // the installation's log is in the folder the test removes
    return result;
  }

  const test::WindowsTraces traces_;
  const test::TempFolder temp_;
  const std::filesystem::path root_ = temp_ / "Kaldren Morvale";
  test::FakePublication publication_;
  Release release_;
  LauncherOptions options_;
};

TEST_F(InstallGame, CopiesTheRunningLauncherOfTheSameVersionAndKeepsAnExistingState) {
  const InstallResult result = install(false);
  EXPECT_EQ(result.launcher, (root_ / kLauncherFileName).wstring());
  EXPECT_FALSE(result.launcher_from_release);
  EXPECT_TRUE(publication_.downloads().empty());
  EXPECT_EQ(bytes_of(root_ / kLauncherFileName), bytes_of(launcher_executable_path()));
  EXPECT_FALSE(is_there(root_ / "Lanternix/patcher.ini")) << "nothing came from the command line";
  LauncherState state = load_state(disk(), root_);
  EXPECT_EQ(state.channel, "live");
  EXPECT_EQ(state.highest_sequences, (std::map<std::string, std::uint64_t>{{"live", 7}}));
  EXPECT_FALSE(state.installed);
  EXPECT_NE(bytes_of(root_ / "Lanternix/logs/lanternix.log").find("Installing Kaldren Morvale 1.4.2 into " +
                                                                     display_path(root_)),
            std::string::npos);
  EXPECT_EQ(read_registration(), root_.wstring());
  EXPECT_EQ(test::registration_value(L"DisplayVersion")->text, L"1.4.2");
  EXPECT_EQ(std::filesystem::path(start_menu_shortcut_path()).filename(), L"Kaldren Morvale.lnk");
  const auto start_menu = test::read_shortcut(start_menu_shortcut_path());
  ASSERT_TRUE(start_menu);
  EXPECT_TRUE(same_folder(start_menu->target, result.launcher));
  EXPECT_TRUE(same_folder(start_menu->working_folder, root_.wstring()));
  EXPECT_FALSE(is_there(desktop_shortcut_path())) << "not asked for";

  record_sequence(state, "live", 99);
  save_state(disk(), root_, state);
  options_.channel = "beta";
  options_.channel_from_command_line = true;
  release_.sequence = 8;
  install(true);
  EXPECT_EQ(load_state(disk(), root_).highest_sequences.at("live"), 99u) << "a reinstall keeps the state";
  EXPECT_EQ(bytes_of(root_ / "Lanternix/patcher.ini"),
            "; Written by the setup from its command line.\r\n[server]\r\nchannel=beta\r\n");
  EXPECT_TRUE(test::read_shortcut(desktop_shortcut_path()));

  const UninstallSummary removed = remove_installation(root_.wstring());
  EXPECT_TRUE(removed.folder_removed);
  EXPECT_FALSE(read_registration());
  EXPECT_FALSE(is_there(start_menu_shortcut_path()));
  EXPECT_FALSE(is_there(desktop_shortcut_path()));
}

TEST_F(InstallGame, DownloadsANewerLauncherFromTheRelease) {
  release_.launcher.version = {running_version().major + 1, 0, 0};
  const InstallResult result = install(false);
  EXPECT_TRUE(result.launcher_from_release);
  EXPECT_EQ(publication_.downloads().size(), 1u);
  EXPECT_EQ(bytes_of(root_ / kLauncherFileName), "published launcher");

  // The download honours the stop token: closing the window ends it.
  const std::filesystem::path other = temp_ / "other";
  release_.launcher.file = publication_.add_object("another launcher");
  std::stop_source closed;
  closed.request_stop();
  EXPECT_TRUE(test::fails_with(
      [&] { install_game({other.wstring(), false}, release_, publication_, options_, closed.get_token()); },
      ErrorCategory::cancelled, "The launcher was closed"));
  open_log({});
  EXPECT_FALSE(is_there(other / kLauncherFileName));
  remove_installation(root_.wstring());
  // A folder without the launcher's state is not uninstalled.
  EXPECT_TRUE(std::string(test::failure_of([&] { remove_installation(other.wstring()); }).what())
                  .starts_with("The launcher's record of the installed files"));
}

TEST(UninstallFinish, StartsTheLauncherCopyFromTheTemporaryFolder) {
  const test::TempFolder temp;
  const std::filesystem::path record = temp / "record.txt";
  SetEnvironmentVariableW(L"LANTERNIX_TEST_RECORD", record.c_str());
  LauncherOptions options;
  options.launcher_path = (std::filesystem::path(launcher_executable_path()).parent_path() / L"recording_stand_in.exe");
  options.root = (temp / "Kaldren Morvale").wstring();
  options.quiet = true;
  start_uninstall_finish(options);
  for (int i = 0; i < 1000 && !is_there(record); ++i) Sleep(10);
  const std::filesystem::path temporary = std::filesystem::temp_directory_path();
  const std::filesystem::path copy = temporary / kUninstallerCopyName;
  std::istringstream lines(bytes_of(record));
  std::string command_line;
  std::string working_folder;
  std::getline(lines, command_line);
  std::getline(lines, working_folder);
  EXPECT_EQ(command_line, to_utf8(build_command_line(copy.wstring(), {L"--uninstall-finish", L"--root", options.root,
                                                                      L"--wait-pid",
                                                                      std::to_wstring(GetCurrentProcessId()),
                                                                      L"--quiet"})));
  EXPECT_TRUE(is_within(to_utf16(working_folder), temporary) && is_within(temporary, to_utf16(working_folder)))
      << working_folder;
  // The copy may still be closing.
  for (int i = 0; i < 100 && !DeleteFileW(copy.c_str()); ++i) Sleep(50);
}

TEST(RemoveInstallation, RemovesWhatTheLauncherInstalledAndKeepsTheRest) {
  const test::WindowsTraces traces;
  const test::TempFolder temp;
  const std::filesystem::path root = temp / "game";
  const std::map<std::string, std::string> files = {
      {"../outside.txt", "x"}, {"bin/64/Kaldren.exe", "game"}, {"data/a.pak", "a"}, {"data/gone.pak", "-"},
      {"data/sub/b.pak", "b"}};
  const std::string manifest = test::manifest_document("1.0.0", files);
  save_manifest(disk(), root, manifest);
  LauncherState state;
  state.installed = ReleaseRecord{1, {1, 0, 0}, sha256(manifest), "bin/64/Kaldren.exe"};
  save_state(disk(), root, state);
  temp.write("outside.txt", "not the game's");
  for (const char* path : {"bin/64/Kaldren.exe", "data/a.pak", "data/sub/b.pak", "Lanternix.exe",
                           "Lanternix/patcher.ini", "Lanternix/staging/partial", "screenshots/shot.png"}) {
    temp.write(std::filesystem::path("game") / path, "content");
  }
  register_installation(root.wstring(), L"1.0.0", 1);

  test::LogReader log(temp / "test.log");
  const UninstallSummary summary = remove_installation(root.wstring());
  EXPECT_EQ(summary.removed, 3u);
  EXPECT_EQ(summary.failed, 1u) << "the unsafe path";
  EXPECT_FALSE(summary.folder_removed);
  EXPECT_EQ(bytes_of(root / "screenshots/shot.png"), "content");
  EXPECT_EQ(bytes_of(temp / "outside.txt"), "not the game's");
  for (const char* gone : {"bin", "data", "Lanternix.exe", "Lanternix"}) EXPECT_FALSE(is_there(root / gone)) << gone;
  EXPECT_FALSE(read_registration());
  const std::vector<std::string> warnings = log.at("WARN");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_TRUE(warnings[0].starts_with("Could not remove ../outside.txt: ")) << warnings[0];

  // Only what the launcher installed: nothing of the game folder stays.
  const std::filesystem::path clean = temp / "clean";
  save_manifest(disk(), clean, manifest);
  state.pending.reset();
  save_state(disk(), clean, state);
  temp.write("clean/data/sub/b.pak", "b");
  temp.write("clean/Lanternix.exe", "launcher");
  const UninstallSummary all = remove_installation(clean.wstring());
  EXPECT_EQ(all.removed, 1u);
  EXPECT_TRUE(all.folder_removed);
  EXPECT_FALSE(is_there(clean));
}

// Records that cannot tell the game's files from the player's: nothing is removed,
// and the error names the record.
TEST(RemoveInstallation, RemovesNothingWhenItsRecordsCannotBeRead) {
  const test::TempFolder temp;
  const std::string manifest = test::manifest_document("1.0.0", {{"data/a.pak", "a"}});
  const ReleaseRecord release{1, {1, 0, 0}, sha256(manifest), "bin/64/Kaldren.exe"};
  const struct {
    const char* what;
    std::function<void(const std::filesystem::path&)> spoil;
    const char* names;
  } cases[] = {
      {"no state", [](const std::filesystem::path& root) { DeleteFileW((root / "Lanternix/state.json").c_str()); },
       "state.json) is missing"},
      {"garbled state", [&](const std::filesystem::path& root) { temp.write(root / "Lanternix/state.json", "{{"); },
       "state.json) could not be read: "},
      {"no saved manifest",
       [](const std::filesystem::path& root) { DeleteFileW((root / "Lanternix/manifest.json").c_str()); },
       "manifest.json) is missing or does not match its release"},
      {"altered saved manifest",
       [&](const std::filesystem::path& root) { temp.write(root / "Lanternix/manifest.json", "{}"); },
       "manifest.json) is missing or does not match its release"},
      {"pending install without its manifest",
       [&](const std::filesystem::path& root) {
         LauncherState state = load_state(disk(), root);
         state.pending = ReleaseRecord{2, {1, 0, 1}, sha256("lost"), "bin/64/Kaldren.exe"};
         save_state(disk(), root, state);
       },
       "pending-manifest.json) is missing or does not match its release"},
  };
  for (const auto& c : cases) {
    const std::filesystem::path root = temp / c.what;
    save_manifest(disk(), root, manifest);
    LauncherState state;
    state.installed = release;
    save_state(disk(), root, state);
    temp.write(root / "data/a.pak", "a");
    temp.write(root / "Lanternix.exe", "launcher");
    c.spoil(root);
    const std::string error = test::failure_of([&] { remove_installation(root.wstring()); }).what();
    EXPECT_NE(error.find(c.names), std::string::npos) << c.what << ": " << error;
    EXPECT_TRUE(is_there(root / "data/a.pak")) << c.what;
    EXPECT_TRUE(is_there(root / "Lanternix.exe")) << c.what;
    EXPECT_TRUE(is_there(root / "Lanternix")) << c.what;
  }
}

}  // namespace
}  // namespace kaldren::patcher
