// lanternix-update for the tests that stop it at every write, never for players: with
// LANTERNIX_FAULT_PLAN set to "kill@N", the process ends at once right before disk
// operation N (as a killed process or a crash would); with "fail@N:CODE", operation N
// fails with that Win32 code. Prints "fault plan: <count> operations" at the end.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <optional>

#include "app/update_console.h"
#include "support/fault_plan.h"

int wmain(int argc, wchar_t** argv) {
  namespace patcher = kaldren::patcher;
  const std::vector<std::wstring> arguments(argv + 1, argv + argc);
  const char* text = std::getenv("LANTERNIX_FAULT_PLAN");
  const std::optional<patcher::test::FaultPlan> plan = text ? patcher::test::parse_fault_plan(text) : std::nullopt;
  if (!plan) return patcher::update_console_main(arguments, patcher::system_file_system());
  patcher::test::FaultPlanFileSystem disk(patcher::system_file_system(), *plan, [] {
    std::fflush(nullptr);
    TerminateProcess(GetCurrentProcess(), 99);
  });
  const int code = patcher::update_console_main(arguments, disk);
  std::fprintf(stderr, "fault plan: %llu operations\n", static_cast<unsigned long long>(disk.operations()));
  return code;
}
