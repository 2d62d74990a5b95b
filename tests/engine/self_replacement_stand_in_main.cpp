// Stands in for a newer launcher in the hand-over tests. LANTERNIX_STAND_IN says how it
// behaves: "confirm" writes its working folder and arguments (one a line, UTF-8) to
// stand-in.txt beside itself, then confirms to the pid after --wait-pid; "exit" ends
// at once without confirming, as a crash would; "hang" never confirms (ends after 60 s).
// As the old launcher instead: "--hand-over ROOT STAGED" hands ROOT's Lanternix.exe over
// to STAGED on a disk that LANTERNIX_FAULT_PLAN="kill@N" stops (exit 99) right before
// operation N, as a crash would; otherwise exit 0 when handed over, 1 when not.
#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "core/log.h"
#include "core/text.h"
#include "engine/self_replacement.h"
#include "support/fault_plan.h"
#include "system/data_folder.h"

namespace {

int hand_over_as_old_launcher(const std::wstring& root, const std::wstring& staged) {
  using namespace kaldren::patcher;
  open_log(std::filesystem::path(root) / L"old-launcher.log");
  LauncherOptions options;
  options.root = root;
  options.launcher_path = (std::filesystem::path(root) / kLauncherFileName).wstring();
  options.arguments = {L"--root", root};
  const char* text = std::getenv("LANTERNIX_FAULT_PLAN");
  const std::optional<test::FaultPlan> plan = text ? test::parse_fault_plan(text) : std::nullopt;
  test::FaultPlanFileSystem disk(system_file_system(), plan.value_or(test::FaultPlan{}),
                                 [] { TerminateProcess(GetCurrentProcess(), 99); });
  return replace_launcher(options, staged, HandOverTimes{}, disk) ? 0 : 1;
}

}  // namespace

int wmain(int count, wchar_t** arguments) {
  using namespace kaldren::patcher;
  if (count == 4 && std::wstring(arguments[1]) == L"--hand-over") return hand_over_as_old_launcher(arguments[2], arguments[3]);
  wchar_t behaviour[16] = {};
  GetEnvironmentVariableW(L"LANTERNIX_STAND_IN", behaviour, 16);
  const std::wstring mode = behaviour;
  if (mode == L"hang") Sleep(60000);  // bounded, so that a failed test leaks no process for long
  if (mode != L"confirm") return 3;

  std::wstring own(32768, L'\0');
  own.resize(GetModuleFileNameW(nullptr, own.data(), static_cast<DWORD>(own.size())));
  std::ofstream record(std::filesystem::path(own).parent_path() / L"stand-in.txt", std::ios::binary);
  record << display_path(std::filesystem::current_path()) << '\n';
  std::uint32_t old_pid = 0;
  for (int i = 1; i < count; ++i) {
    record << to_utf8_lenient(arguments[i]) << '\n';
    if (std::wstring(arguments[i]) == L"--wait-pid" && i + 1 < count) old_pid = std::stoul(arguments[i + 1]);
  }
  record.close();
  confirm_start(old_pid);
  return 0;
}
