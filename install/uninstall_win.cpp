// The uninstaller copy, the files an installation's records attribute to it, their
// removal, and the copy's own removal once it has ended.
#include "install/uninstall.h"

#include <windows.h>

#include <algorithm>
#include <filesystem>
#include <optional>

#include <fmt/format.h>

#include "core/error.h"
#include "core/log.h"
#include "core/owned_handle.h"
#include "core/text.h"
#include "engine/launcher_state.h"
#include "install/installation.h"
#include "install/registration.h"
#include "protocol/path_rule.h"
#include "system/data_folder.h"
#include "system/file_operations.h"
#include "system/processes.h"

namespace kaldren::patcher {
namespace {

[[noreturn]] void cannot_tell(const std::filesystem::path& record, const std::string& reason) {
  throw PatchError(ErrorCategory::io,
                   fmt::format("The launcher's record of the installed files ({}) {}", display_path(record), reason));
}

// The paths of a saved manifest whose bytes must hash to `expected`; throws when the
// copy is missing, altered or unreadable, since its files could not be told apart.
void add_manifest_paths(const std::optional<std::string>& bytes, const std::filesystem::path& file,
                        std::vector<std::string>& paths) {
  if (!bytes) cannot_tell(file, "is missing or does not match its release");
  try {
    for (const ManifestFile& entry : parse_client_manifest(*bytes).files) paths.push_back(entry.path);
  } catch (const std::exception& error) {
    cannot_tell(file, std::string("could not be read: ") + error.what());
  }
}

// Removes the shortcut at the path `locate` gives when it points at the launcher; a
// Windows folder that cannot be located holds no shortcut to remove.
template <typename Locate>
void remove_shortcut_at(Locate locate, const std::wstring& launcher) {
  try {
    remove_shortcut(locate(), launcher);
  } catch (const PatchError&) {
    // No such folder, so no shortcut in it either.
  }
}

std::wstring system_folder() {
  std::wstring buffer(MAX_PATH + 1, L'\0');
  const UINT length = GetSystemDirectoryW(buffer.data(), static_cast<UINT>(buffer.size()));
  if (length == 0 || length >= buffer.size()) return {};
  buffer.resize(length);
  return buffer;
}

}  // namespace

void start_uninstall_finish(const LauncherOptions& options) {
  const std::wstring temporary = temporary_folder();
  const std::filesystem::path copy = std::filesystem::path(temporary) / kUninstallerCopyName;
  const std::filesystem::path running =
      options.launcher_path.empty() ? launcher_executable_path() : options.launcher_path;
  copy_file(system_file_system(), running, copy);
  std::vector<std::wstring> arguments = {L"--uninstall-finish", L"--root", options.root, L"--wait-pid",
                                         std::to_wstring(GetCurrentProcessId())};
  if (options.quiet) arguments.emplace_back(L"--quiet");
  // The copy runs on its own; this process ends without waiting for it.
  start_process(copy, arguments, temporary);
}

std::vector<std::string> installed_game_files(const std::wstring& root) {
  FileSystem& fs = system_file_system();
  const std::filesystem::path base(root);
  const std::filesystem::path record = state_file(base);
  LauncherState state;
  try {
    state = parse_state(read_file(fs, record, kStateFileCap));
  } catch (const std::exception& error) {
    if (!file_info(fs, record)) cannot_tell(record, "is missing");
    cannot_tell(record, std::string("could not be read: ") + error.what());
  }
  std::vector<std::string> paths;
  if (state.installed) {
    add_manifest_paths(load_saved_manifest(fs, base, state.installed->manifest_sha256), installed_manifest_file(base),
                       paths);
  }
  if (state.pending) {
    add_manifest_paths(load_pending_manifest(fs, base, state.pending->manifest_sha256), pending_manifest_file(base),
                       paths);
  }
  std::sort(paths.begin(), paths.end());
  paths.erase(std::unique(paths.begin(), paths.end()), paths.end());
  return paths;
}

UninstallSummary remove_installation(const std::wstring& root) {
  FileSystem& fs = system_file_system();
  const std::filesystem::path base(root);
  const std::vector<std::string> paths = installed_game_files(root);

  UninstallSummary summary;
  for (const std::string& path : paths) {
    try {
      const std::filesystem::path file = resolve_path(base, path);
      if (delete_file(fs, file)) {
        ++summary.removed;
        remove_empty_parents(fs, base, file);
      }
    } catch (const std::exception& error) {
      ++summary.failed;
      log(LogLevel::warn, "Could not remove {}: {}", path, error.what());
    }
  }

  const std::wstring launcher = (base / kLauncherFileName).wstring();
  remove_shortcut_at(start_menu_shortcut_path, launcher);
  remove_shortcut_at(desktop_shortcut_path, launcher);
  try {
    delete_file(fs, launcher);
  } catch (const std::exception& error) {
    ++summary.failed;
    log(LogLevel::warn, "Could not remove the launcher: {}", error.what());
  }
  unregister_installation(root);

  // The log lives in the data folder about to go.
  open_log({});
  const std::filesystem::path data = data_folder(base);
  if (fs.remove_folder(data) == system_code::folder_not_empty) remove_tree(fs, data);
  summary.folder_removed = fs.remove_folder(base) == 0;
  return summary;
}

void remove_own_copy_after_exit() {
  try {
    const std::wstring copy = launcher_executable_path();
    const std::wstring cmd = system_folder() + L"\\cmd.exe";
    // Two tries, after about 2 s and 12 s (ping is the console's sleep): the system
    // deletes a program's file only once it has ended. Plain commands only: the
    // console's loops and groups are parsed differently across its versions.
    const std::wstring quoted = quote_argument(copy);
    const std::wstring remove = L"del /f /q " + quoted + L" >nul 2>&1";
    std::wstring command = quote_argument(cmd) + L" /d /q /s /c \"ping -n 3 127.0.0.1 >nul & " + remove +
                           L" & ping -n 11 127.0.0.1 >nul & " + remove + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION started{};
    if (!CreateProcessW(cmd.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_DEFAULT_ERROR_MODE,
                        nullptr, system_folder().c_str(), &startup, &started)) {
      log(LogLevel::warn, win32_error_text("Could not arrange the removal of " + to_utf8_lenient(copy), GetLastError()));
      return;
    }
    const UniqueNullHandle thread(started.hThread);
    const UniqueNullHandle process(started.hProcess);
    log(LogLevel::info, "{} is removed once this uninstall has ended", to_utf8_lenient(copy));
  } catch (const std::exception& error) {
    log(LogLevel::warn, "Could not arrange the removal of the uninstaller copy: {}", error.what());
  }
}

}  // namespace kaldren::patcher
