#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cwctype>
#include <functional>
#include <string>

#include "config/options.h"
#include "support/temp_folder.h"
#include "core/text.h"

namespace kaldren::patcher {
namespace {

constexpr const wchar_t* kKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\KaldrenMorvale";

bool registration_exists() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_CURRENT_USER, kKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

// Writes the registration for the test and deletes it again afterwards.
class Registration : public ::testing::Test {
 protected:
  void SetUp() override {
    if (registration_exists()) GTEST_SKIP() << "a real registration exists; left untouched";
  }
  void TearDown() override {
    if (created_) RegDeleteKeyW(HKEY_CURRENT_USER, kKey);
  }

  void set(DWORD type, const void* data, DWORD bytes) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    created_ = true;
    LSTATUS status =
        RegSetValueExW(key, L"InstallLocation", 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(key);
    ASSERT_EQ(status, ERROR_SUCCESS);
  }
  void set_string(const std::wstring& value, DWORD type = REG_SZ) {
    set(type, value.c_str(), static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  }

  bool created_ = false;
};

TEST(IsInstallation, RecognisesTheDataFolderOrTheGameBesideIt) {
  struct Case {
    const char* name;
    std::function<void(const test::TempFolder&)> prepare;
    bool expected;
  };
  const Case cases[] = {
      {"empty folder", [](const test::TempFolder&) {}, false},
      {"saved state", [](const test::TempFolder& f) { f.write(L"Lanternix\\state.json", "{}"); },
       true},
      {"state.json that is a folder",
       [](const test::TempFolder& f) { f.make_folder(L"Lanternix\\state.json"); }, false},
      {"game executable with the data folder",
       [](const test::TempFolder& f) {
         f.make_folder(L"Lanternix");
         f.write(L"bin\\64\\Kaldren.exe", "MZ");
       },
       true},
      {"game executable without the data folder",
       [](const test::TempFolder& f) { f.write(L"bin\\64\\Kaldren.exe", "MZ"); }, false},
      {"game executable that is a folder",
       [](const test::TempFolder& f) {
         f.make_folder(L"Lanternix");
         f.make_folder(L"bin\\64\\Kaldren.exe");
       },
       false},
      {"data folder that is a file",
       [](const test::TempFolder& f) {
         f.write(L"Lanternix", "");
         f.write(L"bin\\64\\Kaldren.exe", "MZ");
       },
       false},
      {"launcher alone, not registered",
       [](const test::TempFolder& f) { f.write(L"Lanternix.exe", "MZ"); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempFolder folder;
    c.prepare(folder);
    EXPECT_EQ(is_installation(folder.path().wstring()), c.expected);
  }
}

TEST_F(Registration, RegisteredFolderMatchesInAnyLetterCase) {
  test::TempFolder folder;
  folder.write(L"Lanternix.exe", "MZ");
  std::wstring upper = folder.path().wstring();
  std::transform(upper.begin(), upper.end(), upper.begin(), [](wchar_t c) {
    return static_cast<wchar_t>(std::towupper(c));
  });
  ASSERT_NE(upper, folder.path().wstring());
  set_string(upper);
  EXPECT_EQ(read_registration(), upper);
  EXPECT_TRUE(is_installation(folder.path().wstring()));

  // Both sides are compared in absolute, normal form.
  set_string(folder.path().wstring() + L"\\sub\\..\\.");
  EXPECT_TRUE(is_installation(folder.path().wstring()));
  EXPECT_TRUE(is_installation(folder.path().wstring() + L"\\x\\.."));

  test::TempFolder other;
  other.write(L"Lanternix.exe", "MZ");
  EXPECT_FALSE(is_installation(other.path().wstring()));
}

TEST_F(Registration, RegisteredFolderWithoutTheLauncherIsNoInstallation) {
  test::TempFolder folder;
  set_string(folder.path().wstring());
  EXPECT_FALSE(is_installation(folder.path().wstring()));
}

TEST_F(Registration, OnlyNonEmptyStringValuesCount) {
  const std::wstring path = L"C:\\Games\\Kaldren";
  set_string(path, REG_EXPAND_SZ);
  EXPECT_FALSE(read_registration().has_value());

  const DWORD number = 7;
  set(REG_DWORD, &number, sizeof(number));
  EXPECT_FALSE(read_registration().has_value());

  set_string(L"");
  EXPECT_FALSE(read_registration().has_value());

  const wchar_t zeros[] = {0, 0, 0};
  set(REG_SZ, zeros, sizeof(zeros));
  EXPECT_FALSE(read_registration().has_value());

  // Extra terminating zeros are dropped.
  const wchar_t padded[] = L"C:\\Games\\Kaldren\0\0";
  set(REG_SZ, padded, sizeof(padded));
  EXPECT_EQ(read_registration(), path);

  set_string(path);
  EXPECT_EQ(read_registration(), path);
}

TEST_F(Registration, MissingKeyGivesNothing) {
  EXPECT_FALSE(read_registration().has_value());
}

TEST(LauncherExecutablePath, NamesThisProgram) {
  const std::wstring path = launcher_executable_path();
  const std::wstring name = L"\\config_tests.exe";
  ASSERT_GE(path.size(), name.size());
  EXPECT_EQ(CompareStringOrdinal(path.c_str() + path.size() - name.size(),
                                 static_cast<int>(name.size()), name.c_str(),
                                 static_cast<int>(name.size()), TRUE),
            CSTR_EQUAL)
      << to_utf8_lenient(path);
}

}  // namespace
}  // namespace kaldren::patcher
