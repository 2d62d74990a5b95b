// The hand-over on Windows: the running executable can be moved but not overwritten,
// so it moves aside, the new file takes its name, and a named event tells the old
// launcher that the new one is alive before the old one gives up its place.
#include <windows.h>

#include <exception>
#include <string>

#include "config/options.h"
#include "core/error.h"
#include "core/log.h"
#include "core/owned_handle.h"
#include "core/text.h"
#include "engine/self_replacement.h"
#include "system/data_folder.h"
#include "system/file_operations.h"
#include "system/processes.h"

namespace kaldren::patcher {
namespace {

DWORD milliseconds(std::chrono::milliseconds duration) { return static_cast<DWORD>(duration.count()); }

// "30 s" for whole seconds, else "<n> ms": the wait the log line names.
std::string wait_text(std::chrono::milliseconds duration) {
  const auto count = duration.count();
  return count % 1000 == 0 ? std::to_string(count / 1000) + " s" : std::to_string(count) + " ms";
}

// One launcher's hand-over: the three files it moves and the way back.
class HandOver {
 public:
  HandOver(FileSystem& fs, const std::filesystem::path& root, const std::filesystem::path& new_launcher)
      : fs_(fs),
        target_(root / kLauncherFileName),
        previous_(old_launcher_path(root)),
        new_launcher_(new_launcher) {}

  const std::filesystem::path& target() const { return target_; }

  void remove_stale_previous() {
    FileStatus status;
    if (fs_.status(previous_, status) != system_code::success || status.folder) return;
    if (fs_.remove_file(previous_) != system_code::success) {
      log(LogLevel::warn, "Could not remove {}; it is probably still running", display_path(previous_));
    }
  }

  bool move_running_aside() {
    create_folders(fs_, previous_.parent_path());
    const SystemCode code = fs_.move(target_, previous_);
    if (code == system_code::success) return true;
    log(LogLevel::error, win32_error_text("Could not move the running launcher aside", code));
    return false;
  }

  bool install_new() {
    try {
      replace_file(fs_, new_launcher_, target_);
      return true;
    } catch (const std::exception& error) {
      log(LogLevel::error, "Could not install the new launcher: {}", error.what());
      put_previous_back();
      return false;
    }
  }

  // The verified file goes back to where it came from so that a later attempt can use it.
  void roll_back() {
    fs_.move(target_, new_launcher_);
    put_previous_back();
  }

  // Left undone, the next start of setup or of a launcher puts it back (recover_launcher).
  void put_previous_back() {
    const SystemCode code = fs_.move(previous_, target_);
    if (code != system_code::success) {
      log(LogLevel::error, win32_error_text("Could not put the previous launcher back", code));
    }
  }

 private:
  FileSystem& fs_;
  const std::filesystem::path target_;
  const std::filesystem::path previous_;
  const std::filesystem::path new_launcher_;
};

// Waits for the start event or the end of the process; empty when the new launcher
// confirmed, otherwise why it did not.
std::string wait_for_confirmation(const UniqueNullHandle& started, const UniqueNullHandle& process,
                                  const HandOverTimes& times) {
  if (!started) return {};  // no event to wait for: the hand-over goes on unconfirmed
  const HANDLE handles[] = {started.get(), process.get()};
  // The event comes first: a launcher that confirmed and ended at once has confirmed.
  const DWORD result = WaitForMultipleObjects(2, handles, FALSE, milliseconds(times.confirmation));
  if (result == WAIT_OBJECT_0) return {};
  if (result == WAIT_OBJECT_0 + 1) return "it exited";
  return "no answer in " + wait_text(times.confirmation);
}

bool hand_over(const LauncherOptions& options, const std::filesystem::path& new_launcher, const HandOverTimes& times,
               FileSystem& fs) {
  const std::filesystem::path root = path_from_utf16(options.root);
  HandOver files(fs, root, new_launcher);
  const std::filesystem::path running = path_from_utf16(options.launcher_path);
  if (!is_same_launcher(running, files.target())) {
    log(LogLevel::warn, "Not replacing {}: this launcher runs from {}", display_path(files.target()),
        display_path(running));
    return false;
  }
  files.remove_stale_previous();
  if (!files.move_running_aside() || !files.install_new()) return false;

  const DWORD own_pid = GetCurrentProcessId();
  const UniqueNullHandle started(CreateEventW(nullptr, TRUE, FALSE, start_event_name(own_pid).c_str()));
  // An event left signalled by an earlier attempt of this process must not count.
  if (started) ResetEvent(started.get());
  UniqueNullHandle process;
  try {
    process = start_process(files.target(), hand_over_arguments(arguments_for_restart(options), own_pid), root);
  } catch (const std::exception& error) {
    log(LogLevel::error, "Could not start the new launcher: {}", error.what());
    files.roll_back();
    return false;
  }
  const std::string refusal = wait_for_confirmation(started, process, times);
  if (!refusal.empty()) {
    log(LogLevel::error, "The new launcher did not start properly ({}); keeping this one", refusal);
    TerminateProcess(process.get(), 1);
    WaitForSingleObject(process.get(), milliseconds(times.after_terminate));
    files.roll_back();
    return false;
  }
  log(LogLevel::info, "Handed over to the updated launcher");
  return true;
}

}  // namespace

bool replace_launcher(const LauncherOptions& options, const std::filesystem::path& new_launcher,
                      const HandOverTimes& times, FileSystem& fs) {
  try {
    return hand_over(options, new_launcher, times, fs);
  } catch (const std::exception& error) {
    log(LogLevel::error, "Could not hand over to the new launcher: {}", error.what());
  } catch (...) {
    log(LogLevel::error, "Could not hand over to the new launcher");
  }
  return false;
}

void confirm_start(std::uint32_t old_launcher_pid) {
  const UniqueNullHandle started(OpenEventW(EVENT_MODIFY_STATE, FALSE, start_event_name(old_launcher_pid).c_str()));
  if (started) SetEvent(started.get());
}

void remove_previous_launcher(const std::filesystem::path& root, const HandOverTimes& times) {
  remove_previous_launcher(system_file_system(), root, times);
}

}  // namespace kaldren::patcher
