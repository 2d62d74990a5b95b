// Reading, atomic writing, replacing, copying and deleting files.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <chrono>

#include "core/error.h"
#include "system/file_operations.h"
#include "system/folder_lock.h"
#include "support/temp_folder.h"
#include "system_test_support.h"
#include "support/failure_of.h"

namespace kaldren::patcher {
namespace {

using test::disk;

using test::content_of;
using test::present;
using test::system_text;
using test::utf8;

using test::failure_of;

// Read-only, hidden or system: Windows refuses to overwrite such a file (CopyFileW
// with access denied, which the retries would take for a lock).
TEST(ProtectedTarget, DoesNotBlockReplaceCopyOrDelete) {
  const struct {
    const char* name;
    DWORD attributes;
  } targets[] = {
      {"read-only", FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_ARCHIVE},
      {"hidden", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE},
      {"system", FILE_ATTRIBUTE_SYSTEM},
      {"hidden, system and read-only", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_READONLY},
  };
  const struct {
    const char* name;
    std::function<void(const std::filesystem::path&, const std::filesystem::path&)> operation;
    const char* target_after;
    bool source_remains;
  } cases[] = {
      {"replace", [](auto& s, auto& t) { replace_file(disk(), s, t); }, "new", false},
      {"copy", [](auto& s, auto& t) { copy_file(disk(), s, t); }, "new", true},
      {"delete", [](auto&, auto& t) { EXPECT_TRUE(delete_file(disk(), t)); }, "<missing>", true},
  };
  for (const auto& target_kind : targets) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(target_kind.name) + " target, " + c.name);
      test::TempFolder folder;
      const auto source = folder.write(L"source", "new");
      const auto target = folder.write(L"target", "old");
      ASSERT_TRUE(SetFileAttributesW(target.c_str(), target_kind.attributes));
      const test::LogCapture log;
      c.operation(source, target);
      EXPECT_EQ(content_of(target), c.target_after);
      EXPECT_EQ(present(source), c.source_remains);
      EXPECT_THAT(log.new_lines(), testing::IsEmpty()) << "a protected target is not a locked one (no retries)";
    }
  }
}

TEST(DeletingFiles, MissingFileOrFolderIsNotAFailureAndLogsNothing) {
  test::TempFolder folder;
  const test::LogCapture log;
  EXPECT_FALSE(delete_file(disk(), folder / L"absent.txt"));
  EXPECT_FALSE(delete_file(disk(), folder / L"absent-folder\\absent.txt"));
  EXPECT_THAT(log.new_lines(), testing::IsEmpty());
}

TEST(ReplacingFiles, FailsAtOnceForCodesThatAreNotLocks) {
  test::TempFolder folder;
  const auto target = folder.write(L"target", "old");
  const test::LogCapture log;
  const auto start = std::chrono::steady_clock::now();
  const PatchError error = failure_of([&] { replace_file(disk(), folder / L"absent", target); });
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(error.category(), ErrorCategory::io);
  EXPECT_STREQ(error.what(), win32_error_text("Could not replace " + utf8(target), 2).c_str());
  EXPECT_THAT(log.new_lines(), testing::IsEmpty());
  EXPECT_EQ(content_of(target), "old");
}

TEST(ReplacingFiles, RefusesAFolderAtTheTarget) {
  test::TempFolder folder;
  const auto source = folder.write(L"source", "new");
  const auto target = folder.make_folder(L"target");
  const PatchError error = failure_of([&] { replace_file(disk(), source, target); });
  EXPECT_EQ(error.category(), ErrorCategory::io);
  EXPECT_EQ(error.what(), utf8(target) + " is a folder where a file belongs");
  EXPECT_EQ(content_of(source), "new");
}

TEST(ReplaceAndCopy, CreateTheTargetsFolders) {
  test::TempFolder folder;
  const auto source = folder.write(L"source", "bytes");
  copy_file(disk(), source, folder / L"c1\\c2\\copied");
  replace_file(disk(), source, folder / L"r1\\r2\\moved");
  EXPECT_EQ(content_of(folder / L"c1\\c2\\copied"), "bytes");
  EXPECT_EQ(content_of(folder / L"r1\\r2\\moved"), "bytes");
  EXPECT_FALSE(present(source));
}

TEST(EnsureParentFolder, CreatesEveryMissingFolderAndNamesTheOneItCouldNotCreate) {
  test::TempFolder folder;
  ensure_parent_folder(disk(), folder / L"a\\b\\c\\file.txt");
  EXPECT_TRUE(std::filesystem::is_directory(folder / L"a\\b\\c"));
  ensure_parent_folder(disk(), folder / L"a\\b\\c\\file.txt");  // Existing folders are fine.

  const auto blocker = folder.write(L"blocker", "a file");
  const struct {
    const char* name;
    std::filesystem::path file;
    std::filesystem::path parent;
    DWORD code;
  } cases[] = {
      {"file below a file", blocker / L"sub\\x.txt", blocker / L"sub", ERROR_PATH_NOT_FOUND},
      {"parent is a file", blocker / L"x.txt", blocker, ERROR_ALREADY_EXISTS},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const PatchError error = failure_of([&] { ensure_parent_folder(disk(), c.file); });
    EXPECT_EQ(error.category(), ErrorCategory::io);
    EXPECT_EQ(error.what(),
              "Could not create the folder " + utf8(c.parent) + ": " + system_text(c.code));
  }
}

TEST(ReadFile, MaximumSizeAndFailures) {
  test::TempFolder folder;
  const struct {
    const char* content;
    std::uint64_t max;
    bool accepted;
  } cases[] = {
      {"", 0, true}, {"x", 0, false}, {"abc", 3, true}, {"abcd", 3, false}, {"abc", 1000, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << '"' << c.content << "\" max " << c.max);
    const auto file = folder.write(L"file.bin", c.content);
    if (c.accepted) {
      EXPECT_EQ(read_file(disk(), file, c.max), c.content);
    } else {
      const PatchError error = failure_of([&] { read_file(disk(), file, c.max); });
      EXPECT_EQ(error.category(), ErrorCategory::io);
      EXPECT_EQ(error.what(), utf8(file) + " is larger than expected");
    }
  }

  const auto missing = folder / L"absent.bin";
  const PatchError error = failure_of([&] { read_file(disk(), missing, 10); });
  EXPECT_EQ(error.category(), ErrorCategory::io);
  EXPECT_STREQ(error.what(), win32_error_text("Could not open " + utf8(missing), 2).c_str());
}

TEST(OpenForRead, SharesWithWritersButReportsAnExclusiveHolderAsInUse) {
  test::TempFolder folder;
  const auto file = folder.write(L"file.bin", "data");
  {
    // A writer that shares reading does not keep the launcher out.
    UniqueHandle writer(CreateFileW(file.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(writer);
    EXPECT_NE(open_for_read(disk(), file), nullptr);
  }
  UniqueHandle exclusive(
      CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(exclusive);
  const PatchError error = failure_of([&] { open_for_read(disk(), file); });
  EXPECT_EQ(error.category(), ErrorCategory::file_in_use);
  EXPECT_STREQ(error.what(),
               win32_error_text("Could not open " + utf8(file), ERROR_SHARING_VIOLATION).c_str());
}

TEST(FlushFile, KeepsTheContentAndReportsAMissingOrHeldFile) {
  test::TempFolder folder;
  const auto file = folder.write(L"object.part", "staged bytes");
  flush_file(disk(), file);
  EXPECT_EQ(read_file(disk(), file, 100), "staged bytes");

  const auto missing = folder / L"absent.part";
  const PatchError absent = failure_of([&] { flush_file(disk(), missing); });
  EXPECT_EQ(absent.category(), ErrorCategory::io);
  EXPECT_STREQ(absent.what(), win32_error_text("Could not open " + utf8(missing), 2).c_str());

  // A holder that shares nothing keeps the flush out: the file is in use, not damaged.
  UniqueHandle exclusive(CreateFileW(file.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(exclusive);
  const PatchError held = failure_of([&] { flush_file(disk(), file); });
  EXPECT_EQ(held.category(), ErrorCategory::file_in_use);
  EXPECT_STREQ(held.what(), win32_error_text("Could not open " + utf8(file), ERROR_SHARING_VIOLATION).c_str());
}

TEST(WriteFileAtomic, CreatesFoldersAndReplacesContent) {
  test::TempFolder folder;
  const auto target = folder / L"a\\b\\state.json";
  write_file_atomic(disk(), target, "first");
  EXPECT_EQ(content_of(target), "first");
  write_file_atomic(disk(), target, "");
  EXPECT_EQ(content_of(target), "");
  write_file_atomic(disk(), target, "second");
  EXPECT_EQ(content_of(target), "second");
  EXPECT_FALSE(present(folder / L"a\\b\\state.json.tmp"));
}

TEST(WriteFileAtomic, OverwritesATemporaryFileLeftByACrash) {
  test::TempFolder folder;
  const auto target = folder.write(L"state.json", "old");
  const auto leftover = folder.write(L"state.json.tmp", "half-written garbage, longer than new");
  write_file_atomic(disk(), target, "new");
  EXPECT_EQ(content_of(target), "new");
  EXPECT_FALSE(present(leftover));
}

TEST(WriteFileAtomic, FailedReplaceRemovesTheTemporaryFile) {
  test::TempFolder folder;
  const auto target = folder.make_folder(L"state.json");
  folder.write(L"state.json\\inside", "kept");
  const PatchError error = failure_of([&] { write_file_atomic(disk(), target, "new"); });
  EXPECT_EQ(error.category(), ErrorCategory::io);
  EXPECT_EQ(error.what(), utf8(target) + " is a folder where a file belongs");
  EXPECT_FALSE(present(folder / L"state.json.tmp"));
  EXPECT_EQ(content_of(folder / L"state.json\\inside"), "kept");
}

TEST(WriteFileAtomic, FailedCreateKeepsTheOldFile) {
  test::TempFolder folder;
  const auto target = folder.write(L"state.json", "old");
  const auto temporary = folder.make_folder(L"state.json.tmp");
  const PatchError error = failure_of([&] { write_file_atomic(disk(), target, "new"); });
  EXPECT_EQ(error.category(), ErrorCategory::io);
  const std::string context = "Could not create " + utf8(temporary);
  EXPECT_STREQ(error.what(), win32_error_text(context, ERROR_ACCESS_DENIED).c_str());
  EXPECT_EQ(content_of(target), "old");
}

TEST(FileInfoQuery, SizeAndLastWriteTimeWithoutOpening) {
  test::TempFolder folder;
  const auto file = folder.write(L"file.bin", std::string(70000, 'z'));
  // A time whose high and low halves both matter: 2024-05-06 and some ticks.
  constexpr std::uint64_t kTicks = 133593984001234567ULL;
  {
    UniqueHandle handle(CreateFileW(file.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(handle);
    FILETIME time{static_cast<DWORD>(kTicks & 0xFFFFFFFF), static_cast<DWORD>(kTicks >> 32)};
    ASSERT_TRUE(SetFileTime(handle.get(), nullptr, nullptr, &time));
  }
  const std::optional<FileInfo> info = file_info(disk(), file);
  ASSERT_TRUE(info);
  EXPECT_EQ(info->size, 70000u);
  EXPECT_EQ(info->modified, kTicks);
  EXPECT_FALSE(file_info(disk(), folder.path()));
  EXPECT_FALSE(file_info(disk(), folder / L"absent"));
}

}  // namespace
}  // namespace kaldren::patcher
