// Stands in for a newer launcher in the hand-over tests. LANTERNIX_STAND_IN says how it
// behaves: "confirm" writes its working folder and arguments (one a line, UTF-8) to
// stand-in.txt beside itself, then confirms to the pid after --wait-pid; "exit" ends
// at once without confirming, as a crash would; "hang" never confirms (ends after 60 s).
#include <windows.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "core/text.h"
#include "engine/self_replacement.h"

int wmain(int count, wchar_t** arguments) {
  using namespace kaldren::patcher;
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
