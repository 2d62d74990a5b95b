// Stand-ins for the settings lookups that ask Windows itself (full paths, the
// registry, the running executable, GetPrivateProfileString), so that the command
// line's own rules run natively under the fuzzer.
#include <string>

#include "config/options.h"
#include "core/error.h"

namespace kaldren::patcher {

std::wstring absolute_normal_path(const std::wstring& path) {
  if (path.empty() || path.find(L'\0') != std::wstring::npos) {
    throw PatchError(ErrorCategory::configuration, "The folder cannot be made absolute");
  }
  return path;
}

bool is_installation(const std::wstring&) { return false; }

std::wstring launcher_executable_path() { return L"/games/Kaldren/Lanternix.exe"; }

void read_patcher_ini(LauncherOptions&, const std::wstring&) {}

}  // namespace kaldren::patcher
