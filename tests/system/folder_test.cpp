// Folder listings, making room for files, clean-up of folders, and the installer's
// checks (free space, writable folder, long-path setting).
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <map>

#include "core/error.h"
#include "core/text.h"
#include "system/file_operations.h"
#include "system/folder_lock.h"
#include "support/temp_folder.h"
#include "system_test_support.h"

namespace kaldren::patcher {
namespace {

using test::disk;

using test::content_of;
using test::present;
using test::utf8;

std::map<std::string, std::uint64_t> sizes_by_key(const FolderListing& listing) {
  std::map<std::string, std::uint64_t> sizes;
  for (const auto& [key, info] : listing) sizes[to_utf8(key)] = info.size;
  return sizes;
}

TEST(ListFiles, ListsOnlyFilesOfTheNamedFolders) {
  test::TempFolder root;
  root.write(L"Launcher.ini", "1");
  root.write(L"data\\Maps.pak", "22");
  root.write(L"data\\deeper\\hidden.pak", "333");
  root.write(L"other\\not-listed.txt", "4444");
  root.make_folder(L"data\\empty");

  const FolderListing listing =
      list_files(disk(), root.path(), {"", "data", "missing", "missing/deeper"});
  EXPECT_THAT(sizes_by_key(listing),
              testing::ElementsAre(testing::Pair("DATA/MAPS.PAK", 2u),
                                   testing::Pair("LAUNCHER.INI", 1u)));
  const auto info = listing.find(listing_key("data/maps.pak"));
  ASSERT_NE(info, listing.end());
  EXPECT_EQ(info->second, *file_info(disk(), root / L"data\\Maps.pak"));
}

TEST(ListFiles, FolderSpellingsThatDifferInCaseGiveTheSameKeys) {
  test::TempFolder root;
  root.write(L"Data\\\u00e9t\u00e9.txt", "1");
  const FolderListing lower = list_files(disk(), root.path(), {"data"});
  const FolderListing upper = list_files(disk(), root.path(), {"DATA"});
  ASSERT_EQ(lower.size(), 1u);
  EXPECT_EQ(lower.begin()->first, upper.begin()->first);
  EXPECT_EQ(lower.begin()->first, listing_key("dAtA/\xC3\x89t\xC3\xA9.TXT"));
  EXPECT_EQ(lower.begin()->first, L"DATA/\u00c9T\u00c9.TXT");
}

TEST(ListFiles, NothingForAMissingRoot) {
  test::TempFolder root;
  EXPECT_TRUE(list_files(disk(), root / L"absent", {"", "a"}).empty());
}

TEST(MakeRoomForFile, DeletesAFileWhereAFolderIsNeeded) {
  test::TempFolder root;
  root.write(L"a", "in the way");
  const auto target = root / L"a\\b\\file.txt";
  const test::LogCapture log;
  make_room_for_file(disk(), root.path(), target);
  EXPECT_FALSE(present(root / L"a"));
  const std::vector<std::string> lines = log.new_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_THAT(lines[0], testing::HasSubstr("Z INFO  ["));
  EXPECT_THAT(lines[0],
              testing::EndsWith("] Removing " + utf8(root / L"a") + " to make room for a folder"));
  write_file_atomic(disk(), target, "installed");
  EXPECT_EQ(content_of(target), "installed");
}

TEST(MakeRoomForFile, TheFilesOwnPlace) {
  const struct {
    const char* name;
    std::vector<const wchar_t*> folders;  // Created below the root before the call.
    std::vector<const wchar_t*> files;
    bool fails;
    bool place_exists_after;
  } cases[] = {
      {"nothing there", {}, {}, false, false},
      {"folders on the way exist", {L"a"}, {}, false, false},
      {"an old file stays for the install to overwrite", {}, {L"a\\file.txt"}, false, true},
      {"an empty folder is removed", {L"a\\file.txt"}, {}, false, false},
      {"a folder with a file fails", {}, {L"a\\file.txt\\keep.me"}, true, true},
      {"a folder with an empty folder fails", {L"a\\file.txt\\sub"}, {}, true, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempFolder root;
    for (const wchar_t* folder : c.folders) root.make_folder(folder);
    for (const wchar_t* file : c.files) root.write(file, "x");
    const auto target = root / L"a\\file.txt";
    const test::LogCapture log;
    if (c.fails) {
      try {
        make_room_for_file(disk(), root.path(), target);
        ADD_FAILURE() << "no PatchError";
      } catch (const PatchError& error) {
        EXPECT_EQ(error.category(), ErrorCategory::io);
        EXPECT_EQ(error.what(), utf8(target) +
                                    " is a folder with files in it, but the update installs a "
                                    "file there. Move the folder away and retry.");
      }
    } else {
      make_room_for_file(disk(), root.path(), target);
    }
    EXPECT_EQ(present(target), c.place_exists_after);
    for (const wchar_t* file : c.files) EXPECT_TRUE(present(root / file));
    EXPECT_THAT(log.new_lines(), testing::IsEmpty());
  }
}

TEST(MakeRoomForFile, RelatesPrefixedAndPlainFormsOfTheRoot) {
  test::TempFolder root;
  const std::filesystem::path prefixed_root(L"\\\\?\\" + root.path().native());
  const struct {
    const char* name;
    std::filesystem::path root;
    std::filesystem::path target;
  } cases[] = {
      {"prefixed root, plain target", prefixed_root, root / L"a\\file.txt"},
      {"plain root, prefixed target", root.path(), prefixed_root / L"a\\file.txt"},
      {"both prefixed", prefixed_root, prefixed_root / L"a\\file.txt"},
      {"unnormalised target", root.path(), root / L"x\\..\\a\\.\\file.txt"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    root.write(L"a", "in the way");
    make_room_for_file(disk(), c.root, c.target);
    EXPECT_FALSE(present(root / L"a"));
  }
}

TEST(MakeRoomForFile, LeavesTargetsOutsideTheRootAndTheRootItselfAlone) {
  test::TempFolder root;
  const auto outside = root.write(L"outside", "x");
  make_room_for_file(disk(), root / L"game", outside / L"file.txt");
  EXPECT_TRUE(present(outside));
  make_room_for_file(disk(), root.path(), root.path());
  EXPECT_TRUE(present(root.path()));
}

TEST(RemoveEmptyParents, RemovesEmptiedFoldersUpToButNotTheRoot) {
  const struct {
    const char* name;
    std::vector<const wchar_t*> other_files;
    std::vector<const wchar_t*> remaining;
    std::vector<const wchar_t*> removed;
  } cases[] = {
      {"both emptied", {}, {}, {L"game\\a\\b", L"game\\a"}},
      {"a holds another file", {L"game\\a\\other"}, {L"game\\a"}, {L"game\\a\\b"}},
      {"b holds another file", {L"game\\a\\b\\other"}, {L"game\\a\\b"}, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::TempFolder folder;
    folder.make_folder(L"game\\a\\b");
    for (const wchar_t* file : c.other_files) folder.write(file, "x");
    // Spelled with a trailing separator and a dot: both forms are normalised.
    remove_empty_parents(disk(), folder.path() / L"game\\", folder / L"game\\a\\.\\b\\c");
    EXPECT_TRUE(present(folder / L"game"));
    for (const wchar_t* path : c.remaining) EXPECT_TRUE(present(folder / path)) << utf8(path);
    for (const wchar_t* path : c.removed) EXPECT_FALSE(present(folder / path)) << utf8(path);
  }
}

TEST(RemoveEmptyParents, WorksOnLongPathForms) {
  test::TempFolder folder;
  folder.make_folder(L"game\\a\\b");
  const std::filesystem::path root(L"\\\\?\\" + (folder / L"game").native());
  remove_empty_parents(disk(), root, root / L"a\\b\\c");
  EXPECT_FALSE(present(folder / L"game\\a"));
  EXPECT_TRUE(present(folder / L"game"));
}

TEST(RemoveEmptyParents, NeverRemovesTheRootEvenWhenEmpty) {
  test::TempFolder folder;
  folder.make_folder(L"game");
  remove_empty_parents(disk(), folder / L"game", folder / L"game\\c");
  EXPECT_TRUE(present(folder / L"game"));
}

TEST(RemoveTree, RemovesNestedContentAndNeverThrows) {
  test::TempFolder folder;
  folder.write(L"staging\\top.bin", "1");
  folder.write(L"staging\\a\\b\\c\\deep.bin", "2");
  folder.make_folder(L"staging\\empty");
  const auto read_only = folder.write(L"staging\\a\\read-only.bin", "3");
  ASSERT_TRUE(SetFileAttributesW(read_only.c_str(), FILE_ATTRIBUTE_READONLY));
  remove_tree(disk(), folder / L"staging");
  EXPECT_FALSE(present(folder / L"staging"));
  EXPECT_NO_THROW(remove_tree(disk(), folder / L"absent"));
}

TEST(FreeSpace, AnswersForTheNearestExistingParent) {
  test::TempFolder folder;
  EXPECT_GT(free_space(disk(), folder / L"not\\yet\\created"), 0u);
  EXPECT_FALSE(present(folder / L"not"));
  EXPECT_GT(free_space(disk(), folder.path()), 0u);
}

TEST(FreeSpace, FailsForADriveThatDoesNotExist) {
  const DWORD drives = GetLogicalDrives();
  wchar_t letter = 0;
  for (wchar_t candidate = L'Y'; candidate > L'D'; --candidate) {
    if ((drives & (1u << (candidate - L'A'))) == 0) {
      letter = candidate;
      break;
    }
  }
  ASSERT_NE(letter, 0) << "every drive letter is in use";
  const std::wstring drive = std::wstring(1, letter) + L":\\";
  try {
    free_space(disk(), drive + L"Games\\Kaldren");
    ADD_FAILURE() << "no PatchError";
  } catch (const PatchError& error) {
    EXPECT_EQ(error.category(), ErrorCategory::io);
    EXPECT_THAT(error.what(),
                testing::StartsWith("Could not read the free space of " + to_utf8(drive)));
    EXPECT_THAT(error.what(), testing::EndsWith(")"));
  }
}

TEST(CanWriteTo, CreatesTheFolderAndLeavesNoProbeBehind) {
  test::TempFolder folder;
  const auto target = folder / L"new\\game folder";
  EXPECT_TRUE(can_write_to(disk(), target));
  EXPECT_TRUE(std::filesystem::is_directory(target));
  EXPECT_TRUE(std::filesystem::is_empty(target));
}

TEST(CanWriteTo, FalseWithoutThrowingWhenTheFolderCannotExist) {
  test::TempFolder folder;
  const auto file = folder.write(L"a-file", "x");
  EXPECT_FALSE(can_write_to(disk(), file));
  EXPECT_FALSE(can_write_to(disk(), file / L"below"));
}

// The setting lives in the machine-wide registry; the test changes it only where it
// may (an administrator on Windows, any Wine prefix) and restores it afterwards. It
// counts only for a program that declares itself long-path aware: this test program
// and system_helper do not, system_helper_long_paths does.
TEST(LongPathsEnabled, ReadsOnlyANonZero32BitNumberForAProgramDeclaredLongPathAware) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\FileSystem", 0,
                      nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key,
                      nullptr) != ERROR_SUCCESS) {
    GTEST_SKIP() << "the long-path setting cannot be changed by this user";
  }
  const wchar_t* name = L"LongPathsEnabled";
  DWORD saved_type = 0;
  std::vector<BYTE> saved(64);
  DWORD saved_size = static_cast<DWORD>(saved.size());
  const bool had_value = RegQueryValueExW(key, name, nullptr, &saved_type, saved.data(),
                                          &saved_size) == ERROR_SUCCESS;

  const DWORD one = 1;
  const DWORD zero = 0;
  const std::uint64_t wide_one = 1;
  const wchar_t text_one[] = L"1";
  const struct {
    const char* name;
    DWORD type;  // REG_NONE: no value at all.
    const void* data;
    DWORD size;
    bool enabled;
  } cases[] = {
      {"missing", REG_NONE, nullptr, 0, false},
      {"1", REG_DWORD, &one, sizeof(one), true},
      {"0", REG_DWORD, &zero, sizeof(zero), false},
      {"64-bit 1", REG_QWORD, &wide_one, sizeof(wide_one), false},
      {"text 1", REG_SZ, text_one, sizeof(text_one), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RegDeleteValueW(key, name);
    if (c.type != REG_NONE) {
      ASSERT_EQ(RegSetValueExW(key, name, 0, c.type, static_cast<const BYTE*>(c.data), c.size),
                ERROR_SUCCESS);
    }
    EXPECT_FALSE(disk().long_paths_enabled());
    EXPECT_EQ(test::run_helper(L"system_helper.exe", L"long-paths"), 10u);
    EXPECT_EQ(test::run_helper(L"system_helper_long_paths.exe", L"long-paths"), c.enabled ? 11u : 10u);
  }

  RegDeleteValueW(key, name);
  if (had_value) RegSetValueExW(key, name, 0, saved_type, saved.data(), saved_size);
  RegCloseKey(key);
}

}  // namespace
}  // namespace kaldren::patcher
