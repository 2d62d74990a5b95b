// The launcher's replacement of itself by a newer, verified executable: the old launcher
// moves aside, starts the new one and keeps running (rolled back) unless it confirms;
// the new launcher confirms its start and later removes the old file.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "config/options.h"
#include "system/file_system.h"

namespace kaldren::patcher {

// How long each side waits. Tests shorten them; the launcher uses the defaults.
struct HandOverTimes {
  std::chrono::milliseconds confirmation{30000};     // for the new launcher's start event
  std::chrono::milliseconds after_terminate{5000};   // for a refused new launcher to end
  int removal_attempts = 20;                         // of deleting the previous launcher
  std::chrono::milliseconds removal_pause{100};      // between those attempts
};

// Puts `new_launcher` in place of <root>\Lanternix.exe, starts it with the restart
// arguments plus "--after-update --wait-pid <own pid>" and waits for its confirmation.
// True when it took over (this launcher must end); false when this one keeps running,
// with everything put back. Logs every failure; never throws. Windows only.
// `fs` is the disk it moves the files on (tests stop it at each operation).
bool replace_launcher(const LauncherOptions& options, const std::filesystem::path& new_launcher,
                      const HandOverTimes& times = HandOverTimes{}, FileSystem& fs = system_file_system());

// After a hand-over that was cut off between moving the old launcher aside and putting
// the new one in place, <root>\Lanternix.exe is missing while the previous launcher
// waits in the data folder: puts it back. True when it did.
bool recover_launcher(FileSystem& fs, const std::filesystem::path& root);

// Tells the old launcher of that process id that this one started (once its log and
// window exist, so that one failing before is rolled back). Silent when it no longer
// waits. Windows only.
void confirm_start(std::uint32_t old_launcher_pid);

// Deletes <root>\Lanternix\Lanternix.old.exe if it is a file, retrying while the old
// launcher is still closing; gives up silently. The first form is on the system's disk
// (Windows only).
void remove_previous_launcher(const std::filesystem::path& root, const HandOverTimes& times = HandOverTimes{});
void remove_previous_launcher(FileSystem& fs, const std::filesystem::path& root,
                              const HandOverTimes& times = HandOverTimes{});

// The portable rules of the hand-over.
// True when `running` is the launcher at `target`: both made absolute and lexically
// normal, then equal ignoring case.
bool is_same_launcher(const std::filesystem::path& running, const std::filesystem::path& target);
// "Local\KaldrenMorvale.Lanternix.Started.<pid>", the manual-reset start event.
std::wstring start_event_name(std::uint32_t old_launcher_pid);
// The inherited arguments, then "--after-update", "--wait-pid" and the old launcher's pid.
std::vector<std::wstring> hand_over_arguments(std::vector<std::wstring> inherited, std::uint32_t old_launcher_pid);

}  // namespace kaldren::patcher
