// The uninstall registration read back through the registry, and shortcuts read back
// through the Shell; every test puts the user's registration and shortcuts back.
#include <windows.h>

#include <gtest/gtest.h>

#include <regex>
#include <thread>

#include <fmt/format.h>

#include "build_constants.h"
#include "config/options.h"
#include "core/text.h"
#include "install/registration.h"
#include "install/windows_traces.h"
#include "support/failure_of.h"
#include "support/temp_folder.h"

namespace kaldren::patcher {
namespace {

constexpr std::uint64_t kGiB = 1073741824;

std::wstring launcher_in(const std::filesystem::path& root) { return (root / kLauncherFileName).wstring(); }

TEST(Registration, WritesEveryValueWithItsType) {
  const test::WindowsTraces traces;
  const test::TempFolder temp;
  SYSTEMTIME today{};
  GetLocalTime(&today);
  const std::wstring date = to_utf16(fmt::format("{:04}{:02}{:02}", today.wYear, today.wMonth, today.wDay));
  const std::wstring website = build::kWebsite;
  for (const std::wstring& root : {(temp / L"Kaldren Morvale").wstring(), (temp / L"plain").wstring()}) {
    const std::wstring launcher = launcher_in(root);
    const std::wstring quoted = root.find(L' ') == std::wstring::npos ? launcher : L"\"" + launcher + L"\"";
    register_installation(root, L"1.4.2", 10 * kGiB);
    const std::pair<const wchar_t*, std::wstring> strings[] = {
        {L"DisplayName", L"Kaldren Morvale"},   {L"DisplayVersion", L"1.4.2"},
        {L"Publisher", L"Kaldren Morvale"},     {L"DisplayIcon", launcher + L",0"},
        {L"InstallLocation", root},             {L"InstallDate", date},
        {L"UninstallString", quoted + L" --uninstall"},
        {L"QuietUninstallString", quoted + L" --uninstall --quiet"},
        {L"URLInfoAbout", website},             {L"HelpLink", website},
    };
    for (const auto& [name, text] : strings) {
      const auto value = test::registration_value(name);
      ASSERT_TRUE(value) << to_utf8(name);
      EXPECT_EQ(value->type, static_cast<DWORD>(REG_SZ)) << to_utf8(name);
      EXPECT_EQ(value->text, text) << to_utf8(name);
      EXPECT_EQ(value->bytes, (text.size() + 1) * sizeof(wchar_t)) << to_utf8(name);
    }
    for (const auto& [name, number] : {std::pair{L"NoModify", 1u}, {L"NoRepair", 1u}, {L"EstimatedSize", 10485760u}}) {
      const auto value = test::registration_value(name);
      ASSERT_TRUE(value) << to_utf8(name);
      EXPECT_EQ(value->type, static_cast<DWORD>(REG_DWORD)) << to_utf8(name);
      EXPECT_EQ(value->number, number) << to_utf8(name);
    }
  }
  EXPECT_TRUE(test::registration_value(L"UninstallString")->text.starts_with(temp.path().wstring()));
  EXPECT_EQ(test::registration_value(L"InstallDate")->text.size(), 8u);
}

TEST(Registration, EstimatedSizeIsKibibytesUpTo4TiB) {
  const std::pair<std::uint64_t, std::uint32_t> sizes[] = {
      {0, 0}, {1023, 0}, {1024, 1}, {10 * kGiB, 10485760}, {(std::uint64_t{1} << 42) - 1, 0xFFFFFFFF},
      {std::uint64_t{1} << 42, 0xFFFFFFFF}, {~std::uint64_t{0}, 0xFFFFFFFF}};
  for (const auto& [bytes, kib] : sizes) EXPECT_EQ(estimated_size_kib(bytes), kib) << bytes;

  const test::WindowsTraces traces;
  const test::TempFolder root;
  register_installation(root.path().wstring(), L"1.0.0", std::uint64_t{1} << 42);
  EXPECT_EQ(test::registration_value(L"EstimatedSize")->number, 0xFFFFFFFFu);
  update_registration(root.path().wstring(), L"1.0.1", 10 * kGiB);
  EXPECT_EQ(test::registration_value(L"EstimatedSize")->number, 10485760u);
  EXPECT_EQ(test::registration_value(L"DisplayVersion")->text, L"1.0.1");
}

TEST(Registration, ASecondInstallationTakesOverAndSurvivesTheFirstOnesRemoval) {
  const test::WindowsTraces traces;
  test::WindowsTraces::clear();
  const test::TempFolder first;
  const test::TempFolder second;
  for (const test::TempFolder* root : {&first, &second}) {
    register_installation(root->path().wstring(), L"1.0.0", kGiB);
    create_shortcut(start_menu_shortcut_path(), launcher_in(root->path()), root->path().wstring(), L"Kaldren Morvale");
    create_shortcut(desktop_shortcut_path(), launcher_in(root->path()), root->path().wstring(), L"Kaldren Morvale");
  }
  EXPECT_EQ(read_registration(), second.path().wstring());

  update_registration(first.path().wstring(), L"9.9.9", kGiB);
  unregister_installation(first.path().wstring());
  remove_shortcut(start_menu_shortcut_path(), launcher_in(first.path()));
  remove_shortcut(desktop_shortcut_path(), launcher_in(first.path()));
  EXPECT_EQ(read_registration(), second.path().wstring());
  EXPECT_EQ(test::registration_value(L"DisplayVersion")->text, L"1.0.0");
  for (const std::wstring& shortcut : {start_menu_shortcut_path(), desktop_shortcut_path()}) {
    const auto contents = test::read_shortcut(shortcut);
    ASSERT_TRUE(contents) << to_utf8(shortcut);
    EXPECT_TRUE(same_folder(contents->target, launcher_in(second.path())));
  }

  unregister_installation(second.path().wstring());
  remove_shortcut(start_menu_shortcut_path(), launcher_in(second.path()));
  remove_shortcut(desktop_shortcut_path(), launcher_in(second.path()));
  EXPECT_FALSE(read_registration());
  EXPECT_FALSE(std::filesystem::exists(start_menu_shortcut_path()));
  EXPECT_FALSE(std::filesystem::exists(desktop_shortcut_path()));
}

TEST(Registration, AnInstallLocationThatIsNoTextIsNoRegistration) {
  const test::WindowsTraces traces;
  const test::TempFolder root;
  register_installation(root.path().wstring(), L"1.0.0", kGiB);
  HKEY key = nullptr;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, kRegistrationKey, 0, KEY_SET_VALUE, &key), ERROR_SUCCESS);
  const DWORD number = 42;
  RegSetValueExW(key, L"InstallLocation", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof(number));
  RegCloseKey(key);
  EXPECT_FALSE(read_registration());
  update_registration(root.path().wstring(), L"2.0.0", kGiB);
  unregister_installation(root.path().wstring());
  EXPECT_EQ(test::registration_value(L"DisplayVersion")->text, L"1.0.0") << "neither updated nor removed";
}

TEST(Registration, ARootSpelledOtherwiseStillMatches) {
  const test::WindowsTraces traces;
  const test::TempFolder temp;
  const std::filesystem::path root = temp / L"Game";
  const std::wstring spelled = fold_path_case((temp / L"." / L"game" / L".").wstring());
  register_installation(spelled, L"1.0.0", kGiB);
  update_registration(root.wstring(), L"2.0.0", 2 * kGiB);
  EXPECT_EQ(test::registration_value(L"DisplayVersion")->text, L"2.0.0");
  EXPECT_EQ(test::registration_value(L"InstallLocation")->text, spelled) << "written exactly as passed in";
  unregister_installation(root.wstring());
  EXPECT_FALSE(test::registration_value(L"DisplayName"));
}

TEST(Shortcuts, PointAtTheLauncherAndAreRemovedOnlyWhenTheyDo) {
  const test::TempFolder root;
  const std::wstring launcher = launcher_in(root.path());
  root.write(kLauncherFileName, "launcher");
  const std::wstring shortcut = (root / L"links" / L"Kaldren Morvale.lnk").wstring();
  // A fresh thread has no COM of its own, as the setup's job thread.
  std::thread([&] { create_shortcut(shortcut, launcher, root.path().wstring(), L"Kaldren Morvale"); }).join();
  const auto contents = test::read_shortcut(shortcut);
  ASSERT_TRUE(contents);
  EXPECT_TRUE(same_folder(contents->target, launcher));
  EXPECT_TRUE(same_folder(contents->working_folder, root.path().wstring()));

  const std::wstring other = (root / L"other" / kLauncherFileName).wstring();
  root.write(L"other/Lanternix.exe", "another copy");
  std::thread([&] { remove_shortcut(shortcut, other); }).join();
  EXPECT_TRUE(std::filesystem::exists(shortcut)) << "a shortcut to another copy stays";
  remove_shortcut((root / L"absent.lnk").wstring(), launcher);
  remove_shortcut(root.path().wstring(), launcher);
  std::thread([&] { remove_shortcut(shortcut, launcher); }).join();
  EXPECT_FALSE(std::filesystem::exists(shortcut));

  // A file where the shortcut's folder belongs: the save fails with its HRESULT.
  const PatchError failure = test::failure_of(
      [&] { create_shortcut((root / L"Lanternix.exe" / L"x.lnk").wstring(), launcher, root.path().wstring(), L""); });
  EXPECT_EQ(failure.category(), ErrorCategory::io);
  EXPECT_TRUE(std::regex_match(failure.what(), std::regex(R"(Could not save the shortcut \(HRESULT 0x[0-9a-f]{8}\))")))
      << failure.what();
}

}  // namespace
}  // namespace kaldren::patcher
