// The per-folder launcher lock: its name, and ownership across threads and processes.
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <regex>
#include <thread>

#include "core/error.h"
#include "core/text.h"
#include "system/file_operations.h"
#include "system/folder_lock.h"
#include "support/temp_folder.h"
#include "system_test_support.h"

namespace kaldren::patcher {
namespace {

using test::disk;

// Whether another thread (a mutex is re-entrant within its owning thread) could own it now.
bool another_thread_can_own(const std::wstring& name) {
  bool owned = false;
  std::thread([&] { owned = FolderLock(name).try_own(0); }).join();
  return owned;
}

std::wstring unique_key(const char* purpose) {
  return L"C:\\lanternix-lock-test\\" + to_utf16(purpose) + L"\\" +
         std::to_wstring(GetCurrentProcessId());
}

TEST(LockName, FormatAndKnownDigests) {
  // Digests computed independently (sha256sum of the upper-case UTF-8 key).
  EXPECT_EQ(lock_name(L"setup"), L"Local\\KaldrenMorvale.Lanternix.7175b03373a21422fff5bffa");
  EXPECT_EQ(lock_name(L"C:\\Games\\Kaldren"),
            L"Local\\KaldrenMorvale.Lanternix.4090a0aa1be637a162cb001b");
  const std::regex shape(R"(Local\\KaldrenMorvale\.Lanternix\.[0-9a-f]{24})");
  EXPECT_TRUE(std::regex_match(to_utf8(lock_name(L"D:\\\u00e9t\u00e9")), shape));
}

TEST(LockName, SameForCaseDifferentForTrailingSeparator) {
  const struct {
    const wchar_t* a;
    const wchar_t* b;
    bool same;
  } cases[] = {
      {L"C:\\Games\\Kaldren", L"c:\\games\\KALDREN", true},
      {L"D:\\\u00e9t\u00e9", L"d:\\\u00c9T\u00c9", true},
      {L"C:\\Games\\Kaldren", L"C:\\Games\\Kaldren\\", false},
      {L"C:\\Games\\Kaldren", L"C:/Games/Kaldren", false},
      {L"setup", L"SETUP", true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(to_utf8(c.a) + " vs " + to_utf8(c.b));
    EXPECT_EQ(lock_name(c.a) == lock_name(c.b), c.same);
  }
}

TEST(FolderLock, OwnedUntilDestroyedAndMovable) {
  const std::wstring name = lock_name(unique_key("threads"));
  {
    FolderLock lock(name);
    EXPECT_FALSE(lock.owned());
    ASSERT_TRUE(lock.try_own(0));
    EXPECT_TRUE(lock.owned());
    EXPECT_TRUE(lock.try_own(0));  // Asking again while owned changes nothing.
    EXPECT_FALSE(another_thread_can_own(name));

    FolderLock moved(std::move(lock));
    EXPECT_TRUE(moved.owned());
    EXPECT_FALSE(lock.owned());  // NOLINT(bugprone-use-after-move): moved-from state is defined.
    EXPECT_FALSE(another_thread_can_own(name));
  }
  EXPECT_TRUE(another_thread_can_own(name));
}

TEST(FolderLock, MoveAssignmentReleasesTheLockItReplaces) {
  const std::wstring first = lock_name(unique_key("first"));
  const std::wstring second = lock_name(unique_key("second"));
  FolderLock held(first);
  ASSERT_TRUE(held.try_own(0));
  FolderLock other(second);
  held = std::move(other);
  EXPECT_FALSE(held.owned());
  EXPECT_TRUE(another_thread_can_own(first));
}

TEST(FolderLock, AnotherProcessHoldsItUntilItDies) {
  test::TempFolder scratch;
  const std::wstring name = lock_name(unique_key("process"));
  test::Holder holder = test::Holder::own_mutex(name, scratch.path());
  FolderLock lock(name);
  EXPECT_FALSE(lock.try_own(0));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(lock.try_own(300));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(250));
  EXPECT_FALSE(lock.owned());
  holder.kill();  // Its mutex is left abandoned, which counts as free.
  EXPECT_TRUE(lock.try_own(0));
  EXPECT_TRUE(lock.owned());
}

TEST(FolderLock, CreationFailureIsInternal) {
  // A name in a namespace that does not exist cannot be created.
  try {
    FolderLock lock(L"NoSuchNamespace\\lock");
    ADD_FAILURE() << "no PatchError";
  } catch (const PatchError& error) {
    EXPECT_EQ(error.category(), ErrorCategory::internal);
    EXPECT_THAT(error.what(), testing::StartsWith("Could not create the launcher lock"));
    EXPECT_THAT(error.what(), testing::EndsWith(")"));
  }
}

}  // namespace
}  // namespace kaldren::patcher
