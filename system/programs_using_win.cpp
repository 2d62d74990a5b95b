#include "system/programs_using_win.h"

#include <windows.h>
#include <restartmanager.h>

#include <fmt/format.h>

#include "core/owned_handle.h"
#include "core/text.h"

namespace kaldren::patcher {
namespace {

// A Restart Manager session: a DWORD, "none" spelt as the largest value (0 is valid).
struct SessionTraits {
  using value_type = DWORD;
  static DWORD invalid() noexcept { return MAXDWORD; }
  static void close(DWORD session) noexcept { RmEndSession(session); }
};
using RestartSession = OwnedHandle<SessionTraits>;

}  // namespace

std::vector<std::string> windows_programs_using(const std::vector<std::filesystem::path>& paths) {
  RestartSession session;
  WCHAR key[CCH_RM_SESSION_KEY + 1] = L"";
  if (RmStartSession(session.out(), 0, key) != ERROR_SUCCESS) return {};
  std::vector<LPCWSTR> files;
  for (const auto& path : paths) files.push_back(path.c_str());
  if (RmRegisterResources(session.get(), static_cast<UINT>(files.size()), files.data(), 0, nullptr, 0, nullptr) !=
      ERROR_SUCCESS) {
    return {};
  }
  // The list can grow between the two calls; ask again while it does.
  std::vector<RM_PROCESS_INFO> processes;
  UINT needed = 0;
  DWORD reasons = 0;
  DWORD result = ERROR_MORE_DATA;
  for (int attempt = 0; attempt < 4 && result == ERROR_MORE_DATA; ++attempt) {
    processes.resize(needed);
    UINT count = needed;
    result = RmGetList(session.get(), &needed, &count, processes.empty() ? nullptr : processes.data(), &reasons);
    if (result == ERROR_SUCCESS) processes.resize(count);
  }
  if (result != ERROR_SUCCESS) return {};
  std::vector<std::string> programs;
  for (const RM_PROCESS_INFO& process : processes) {
    const std::string name = to_utf8_lenient(process.strAppName);
    programs.push_back(fmt::format("{} (pid {})", name.empty() ? "a program" : name, process.Process.dwProcessId));
  }
  return programs;
}

}  // namespace kaldren::patcher
