#include "system/processes.h"

#include <gtest/gtest.h>

namespace kaldren::patcher {
namespace {

TEST(QuoteArgument, QuotesOnlyWhatWindowsWouldSplit) {
  const struct {
    std::wstring argument;
    std::wstring quoted;
  } cases[] = {
      {L"plain", L"plain"},
      {L"C:\\Games\\Kaldren", L"C:\\Games\\Kaldren"},
      {L"", L"\"\""},
      {L"a\"b", L"\"a\\\"b\""},
      {L"C:\\Program Files\\Game\\", L"\"C:\\Program Files\\Game\\\\\""},
      {L"tab\there", L"\"tab\there\""},
      {L"two \\\\\"quoted", L"\"two \\\\\\\\\\\"quoted\""},
      {L"x\\y z", L"\"x\\y z\""},
  };
  for (const auto& c : cases) EXPECT_EQ(quote_argument(c.argument), c.quoted);
  EXPECT_EQ(build_command_line(L"C:\\My Games\\Lanternix.exe", {L"--root", L"C:\\My Games\\", L"--no-launch"}),
            L"\"C:\\My Games\\Lanternix.exe\" --root \"C:\\My Games\\\\\" --no-launch");
}

}  // namespace
}  // namespace kaldren::patcher
