// Files another process holds open without sharing: waited out for up to 4.8 s,
// then reported as file_in_use (also when the system says access denied).
#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include <chrono>
#include <functional>

#include "core/error.h"
#include "system/file_operations.h"
#include "system/folder_lock.h"
#include "support/temp_folder.h"
#include "system_test_support.h"

namespace kaldren::patcher {
namespace {

using test::disk;

using namespace std::chrono_literals;
using test::content_of;
using test::present;
using test::utf8;
using Clock = std::chrono::steady_clock;

enum class Operation { replace, copy, remove };

struct LockedCase {
  const char* name;
  Operation operation;
  DWORD hold_milliseconds;
  bool succeeds;
};

void PrintTo(const LockedCase& c, std::ostream* out) { *out << c.name; }

const char* context_phrase(Operation operation) {
  switch (operation) {
    case Operation::replace: return "Could not replace ";
    case Operation::copy: return "Could not copy to ";
    case Operation::remove: return "Could not delete ";
  }
  return "";
}

void run(Operation operation, const std::filesystem::path& source,
         const std::filesystem::path& target) {
  switch (operation) {
    case Operation::replace: replace_file(disk(), source, target); break;
    case Operation::copy: copy_file(disk(), source, target); break;
    case Operation::remove: EXPECT_TRUE(delete_file(disk(), target)); break;
  }
}

class LockedFile : public testing::TestWithParam<LockedCase> {};

TEST_P(LockedFile, IsRetriedForAtMostFourPointEightSeconds) {
  const LockedCase& c = GetParam();
  test::TempFolder folder;
  const auto source = folder.write(L"source.bin", "new");
  const auto target = folder.write(L"target.bin", "old");
  const test::LogCapture log;
  test::Holder holder = test::Holder::hold_file(target, c.hold_milliseconds, folder.path());

  const auto start = Clock::now();
  std::optional<PatchError> failure;
  try {
    run(c.operation, source, target);
  } catch (const PatchError& error) {
    failure = error;
  }
  const auto elapsed = Clock::now() - start;
  holder.kill();

  // One line at the first locked attempt, not one per attempt.
  const std::string suffix = "] " + utf8(target) + " is locked; retrying";
  const std::vector<std::string> lines = log.lines_ending_with(suffix);
  ASSERT_EQ(lines.size(), 1u) << "log lines: " << testing::PrintToString(log.new_lines());
  EXPECT_THAT(lines[0], testing::HasSubstr("Z DEBUG ["));

  if (c.succeeds) {
    ASSERT_FALSE(failure) << failure->what();
    EXPECT_GE(elapsed, 2s) << "the hold was not waited out";
    switch (c.operation) {
      case Operation::replace:
        EXPECT_EQ(content_of(target), "new");
        EXPECT_FALSE(present(source));
        break;
      case Operation::copy:
        EXPECT_EQ(content_of(target), "new");
        EXPECT_EQ(content_of(source), "new");
        break;
      case Operation::remove: EXPECT_FALSE(present(target)); break;
    }
    return;
  }
  ASSERT_TRUE(failure) << "the operation succeeded against a held file";
  EXPECT_EQ(failure->category(), ErrorCategory::file_in_use);
  const std::string context = context_phrase(c.operation) + utf8(target);
  // Windows reports a sharing violation; Wine reports access denied for some calls.
  EXPECT_THAT(failure->what(),
              testing::AnyOf(testing::StrEq(win32_error_text(context, ERROR_SHARING_VIOLATION)),
                             testing::StrEq(win32_error_text(context, ERROR_ACCESS_DENIED))));
  // 25 attempts with 24 pauses of 200 ms.
  EXPECT_GE(elapsed, 4780ms);  // 24 attempts would take 4.6 s.
  EXPECT_LT(elapsed, 8000ms);
  EXPECT_EQ(content_of(target), "old");
  EXPECT_EQ(content_of(source), "new") << "a failed replace leaves the source in place";
}

INSTANTIATE_TEST_SUITE_P(
    HeldByAnotherProcess, LockedFile,
    testing::Values(LockedCase{"ReplaceHeldThreeSeconds", Operation::replace, 3000, true},
                    LockedCase{"ReplaceHeldSixSeconds", Operation::replace, 6000, false},
                    LockedCase{"CopyHeldSixSeconds", Operation::copy, 6000, false},
                    LockedCase{"DeleteHeldThreeSeconds", Operation::remove, 3000, true}),
    [](const testing::TestParamInfo<LockedCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kaldren::patcher
