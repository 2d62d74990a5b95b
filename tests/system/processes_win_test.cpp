// The command-line rule checked against Windows' own splitting, and processes started
// and found running for real.
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include <vector>

#include "core/error.h"
#include "core/owned_handle.h"
#include "core/text.h"
#include "support/failure_of.h"
#include "support/temp_folder.h"
#include "system/processes.h"

namespace kaldren::patcher {
namespace {

std::vector<std::wstring> split_by_windows(const std::wstring& command_line) {
  int count = 0;
  OwnedHandle<ClosedBy<wchar_t**, LocalFree>> arguments(CommandLineToArgvW(command_line.c_str(), &count));
  return arguments ? std::vector<std::wstring>(arguments.get(), arguments.get() + count) : std::vector<std::wstring>{};
}

std::filesystem::path own_folder() {
  std::wstring module(32768, L'\0');
  module.resize(GetModuleFileNameW(nullptr, module.data(), static_cast<DWORD>(module.size())));
  return std::filesystem::path(module).parent_path();
}

TEST(QuoteArgument, RoundTripsThroughCommandLineToArgvW) {
  const std::vector<std::wstring> arguments = {
      L"", L" ", L"\"", L"\\", L"\\\\", L"a\\", L"a\\\\", L"a b\\", L"a b\\\\", L"\\\"", L"a\\\"b", L"\"quoted\"",
      L"trailing space ", L"tab\tand\nline\vend", L"\u00e9t\u00e9 \u65e5\u672c", L"C:\\Program Files\\Kaldren\\",
      L"--root=C:\\x y\\\\\\\"z",
  };
  // The program name is split by other rules: put a plain one first.
  const std::vector<std::wstring> split = split_by_windows(build_command_line(L"C:\\Lanternix.exe", arguments));
  ASSERT_EQ(split.size(), arguments.size() + 1);
  for (std::size_t i = 0; i < arguments.size(); ++i) EXPECT_EQ(split[i + 1], arguments[i]) << i;
}

TEST(StartProcess, FindsTheProgramRunningOnlyAtItsOwnPath) {
  const std::filesystem::path helper = own_folder() / L"system_helper.exe";
  test::TempFolder elsewhere;
  const std::filesystem::path same_name = elsewhere / L"system_helper.exe";
  std::filesystem::copy_file(helper, same_name);
  ASSERT_FALSE(is_program_running(helper));

  const UniqueNullHandle process = start_process(helper, {L"mutex", L"Local\\lanternix-processes-test",
                                                          (elsewhere / L"ready").wstring()}, elsewhere.path());
  for (int i = 0; i < 500 && !std::filesystem::exists(elsewhere / L"ready"); ++i) Sleep(10);
  EXPECT_TRUE(is_program_running(helper));
  EXPECT_FALSE(is_program_running(same_name)) << "the same name in another folder is another program";
  TerminateProcess(process.get(), 0);
  WaitForSingleObject(process.get(), 10000);
  EXPECT_FALSE(is_program_running(helper));

  const PatchError missing = test::failure_of([&] { start_process(elsewhere / L"absent.exe", {}, {}); });
  EXPECT_EQ(missing.category(), ErrorCategory::io);
  EXPECT_EQ(std::string(missing.what()), display_path(elsewhere / L"absent.exe") + " was not found");
}

}  // namespace
}  // namespace kaldren::patcher
