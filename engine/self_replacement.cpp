// The portable rules of the hand-over: which launcher may replace itself, the start
// event's name, the new launcher's arguments and the removal of the previous launcher.
#include "engine/self_replacement.h"

#include <exception>
#include <system_error>
#include <utility>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "system/data_folder.h"

namespace kaldren::patcher {

bool is_same_launcher(const std::filesystem::path& running, const std::filesystem::path& target) {
  std::error_code error;
  const std::filesystem::path running_full = std::filesystem::absolute(running, error).lexically_normal();
  if (error) return false;
  const std::filesystem::path target_full = std::filesystem::absolute(target, error).lexically_normal();
  if (error) return false;
  return equal_ignoring_case(path_to_utf16(running_full), path_to_utf16(target_full));
}

std::wstring start_event_name(std::uint32_t old_launcher_pid) {
  return L"Local\\KaldrenMorvale.Lanternix.Started." + std::to_wstring(old_launcher_pid);
}

std::vector<std::wstring> hand_over_arguments(std::vector<std::wstring> inherited, std::uint32_t old_launcher_pid) {
  inherited.insert(inherited.end(), {L"--after-update", L"--wait-pid", std::to_wstring(old_launcher_pid)});
  return inherited;
}

bool recover_launcher(FileSystem& fs, const std::filesystem::path& root) {
  try {
    const std::filesystem::path target = root / kLauncherFileName;
    const std::filesystem::path previous = old_launcher_path(root);
    FileStatus status;
    const SystemCode missing = fs.status(target, status);
    if (missing != system_code::file_not_found && missing != system_code::path_not_found) return false;
    if (fs.status(previous, status) != system_code::success || status.folder) return false;
    if (const SystemCode code = fs.move(previous, target); code != system_code::success) {
      log(LogLevel::error, win32_error_text("Could not put the previous launcher back", code));
      return false;
    }
    log(LogLevel::warn, "Put the launcher back from {}: an update of it had been cut off", display_path(previous));
    return true;
  } catch (const std::exception&) {
    return false;  // nothing to recover from, or nothing that can be done now
  }
}

void remove_previous_launcher(FileSystem& fs, const std::filesystem::path& root, const HandOverTimes& times) {
  try {
    const std::filesystem::path previous = old_launcher_path(root);
    for (int attempt = 1; attempt <= times.removal_attempts; ++attempt) {
      FileStatus status;
      if (fs.status(previous, status) != system_code::success || status.folder) return;
      if (fs.remove_file(previous) == system_code::success) {
        log(LogLevel::info, "Removed the previous launcher");
        return;
      }
      // The old launcher may still be closing: its file is free once it has ended.
      if (attempt < times.removal_attempts) fs.pause(times.removal_pause);
    }
  } catch (const std::exception&) {
    // A leftover file costs nothing but disk space; the next run tries again.
  }
}

}  // namespace kaldren::patcher
