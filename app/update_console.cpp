// The console front end of the update job.
//
// Exit codes: 0 success; 2 bad usage; 10 + the error category otherwise
// (10 network, 11 server, 12 security, 13 disk_space, 14 file_in_use, 15 io,
// 16 configuration, 17 cancelled, 18 internal).
#include <windows.h>
#include <psapi.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <stop_token>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "app/console_progress.h"
#include "app/update_console.h"
#include "app/update_job.h"
#include "build_constants.h"
#include "config/options.h"
#include "core/error.h"
#include "core/log.h"
#include "core/owned_handle.h"
#include "core/text.h"
#include "system/data_folder.h"
#include "system/file_system.h"
#include "system/folder_lock.h"

namespace patcher = kaldren::patcher;

namespace {

constexpr int kExitUsage = 2;

const char* kHelp =
    "usage: lanternix-update --root FOLDER [--base-url URL]... [--channel NAME] [--repair]\n"
    "\n"
    "Installs or updates the game in FOLDER from the patch sources, without a window.\n"
    "  --root FOLDER     the game folder (created when missing)\n"
    "  --base-url URL    a patch source (https://, or http:// for localhost); repeatable;\n"
    "                    default: [server] base_url of FOLDER\\Lanternix\\patcher.ini, then\n"
    "                    the built-in sources\n"
    "  --channel NAME    the release channel (default: patcher.ini, then \"live\")\n"
    "  --repair          check every file by its digest, not by the saved index\n"
    "\n"
    "The log is FOLDER\\Lanternix\\logs\\lanternix.log. Ctrl+C stops cleanly; the next run\n"
    "resumes. Exit codes: 0 done, 2 bad usage, 10 + error category otherwise (10 network,\n"
    "11 server, 12 security, 13 disk_space, 14 file_in_use, 15 io, 16 configuration,\n"
    "17 cancelled, 18 internal).\n";

std::stop_source g_stop;
// Set once the engine has returned; a closing console waits for it.
patcher::UniqueNullHandle g_finished(CreateEventW(nullptr, TRUE, FALSE, nullptr));

BOOL WINAPI on_console_event(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
  g_stop.request_stop();
  // Windows ends the process as soon as this returns from a close event (and at most
  // about five seconds later): give the engine the time to stop at a safe point.
  if (event == CTRL_CLOSE_EVENT) WaitForSingleObject(g_finished.get(), 4500);
  return TRUE;
}

bool is_terminal(std::FILE* stream) {
  DWORD mode = 0;
  HANDLE handle = GetStdHandle(stream == stderr ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode);
}

// The most memory the process has held at once, for the log and the summary;
// "unknown" when Windows cannot tell.
std::string peak_working_set() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof(counters);
  if (!K32GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return "unknown";
  return patcher::format_size(counters.PeakWorkingSetSize);
}

// Logs the peak working set and returns its text for the summary.
std::string log_peak_working_set() {
  std::string peak = peak_working_set();
  patcher::log(patcher::LogLevel::info, "Peak working set {}", peak);
  return peak;
}

int run(const std::vector<std::wstring>& arguments, patcher::FileSystem& fs) {
  using namespace patcher;
  LauncherOptions options = parse_command_line(arguments);
  bool root_given = false;
  for (const auto& argument : arguments) root_given |= argument == L"--root";
  if (!root_given) {
    std::fputs("lanternix-update: --root is required\n\n", stderr);
    std::fputs(kHelp, stderr);
    return kExitUsage;
  }
  if (options.mode != RunMode::Patch) {
    std::fputs("lanternix-update: only updates; --uninstall is the launcher's\n", stderr);
    return kExitUsage;
  }
  const std::filesystem::path root(options.root);
  const std::string root_text = to_utf8_lenient(options.root);

  open_log(log_file(root));
  log_startup(options, "update");

  FolderLock lock(lock_name(options.root));
  if (!lock.try_own(0)) {
    log(LogLevel::info, "Another launcher is already working on this folder");
    throw PatchError(ErrorCategory::file_in_use, "Another launcher is already working on " + root_text);
  }

  ConsoleProgress progress(stdout, is_terminal(stdout));
  UpdateJobHooks hooks;
  hooks.starting = [&](const std::string& sources) {
    std::printf("Updating %s from %s (channel %s)\n", root_text.c_str(), sources.c_str(), options.channel.c_str());
  };
  // The longest wait between two progress reports (or from the last one to the end):
  // how steadily a player sees the job move, for the benchmark. Reports arrive one at a time.
  auto last_report = std::chrono::steady_clock::now();
  std::chrono::steady_clock::duration longest_gap{};
  std::string last_text = "the start", gap_after = last_text;
  const auto note_report = [&](const UpdateStatus* status) {
    const auto now = std::chrono::steady_clock::now();
    if (now - last_report > longest_gap) {
      longest_gap = now - last_report;
      gap_after = last_text;
    }
    last_report = now;
    if (status) last_text = status->text + " " + status->detail;
  };
  hooks.report = [&](const UpdateStatus& status) {
    note_report(&status);
    progress.show(status);
  };
  // No hand-over: this tool updates the game, never a launcher executable.

  auto started = std::chrono::steady_clock::now();
  EngineResult result;
  try {
    result = run_update_job(options, fs, hooks, g_stop.get_token());
  } catch (...) {
    progress.finish();
    throw;
  }
  progress.finish();
  note_report(nullptr);
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const std::string peak = log_peak_working_set();
  const auto gap_ms = std::chrono::duration_cast<std::chrono::milliseconds>(longest_gap).count();
  log(LogLevel::debug, "Longest progress gap: {} ms, after {}", gap_ms, gap_after);
  if (result.outcome == EngineResult::updated) {
    std::printf("Updated to client %s: %llu files written, %llu removed, %s downloaded in %.1f s; "
                "peak working set %s\n",
                result.installed_version.c_str(), static_cast<unsigned long long>(result.files_written),
                static_cast<unsigned long long>(result.files_removed), format_size(result.downloaded).c_str(), seconds,
                peak.c_str());
  } else if (result.kept_installed) {
    std::printf("Kept the installed client %s: the patch server offered an older release (%.1f s); "
                "peak working set %s\n",
                result.installed_version.c_str(), seconds, peak.c_str());
  } else {
    std::printf("Client %s is up to date (%.1f s); peak working set %s\n", result.installed_version.c_str(), seconds,
                peak.c_str());
  }
  std::printf("Longest progress gap: %lld ms\n", static_cast<long long>(gap_ms));
  return 0;
}

}  // namespace

int kaldren::patcher::update_console_main(const std::vector<std::wstring>& arguments, FileSystem& fs) {
  SetConsoleOutputCP(CP_UTF8);
  SetConsoleCtrlHandler(on_console_event, TRUE);
  for (const auto& argument : arguments) {
    if (argument == L"--help" || argument == L"-h") {
      std::fputs(kHelp, stdout);
      return 0;
    }
  }
  // The console may close while the engine stops; it waits for this.
  struct Finished {
    ~Finished() { SetEvent(g_finished.get()); }
  } finished;
  try {
    return run(arguments, fs);
  } catch (const patcher::PatchError& error) {
    // A failure that happened as the user stopped the run is still that failure.
    const auto category = error.category();
    patcher::log(patcher::LogLevel::error, "Update failed ({}): {}", patcher::category_name(category), error.what());
    const std::string peak = log_peak_working_set();
    std::fprintf(stderr, "lanternix-update: %s (%s)\n", error.what(), patcher::category_name(category));
    std::printf("Update failed; peak working set %s\n", peak.c_str());
    return patcher::exit_code_for(category);
  } catch (const std::exception& error) {
    patcher::log(patcher::LogLevel::error, "Update failed (internal): {}", error.what());
    const std::string peak = log_peak_working_set();
    std::fprintf(stderr, "lanternix-update: %s (internal)\n", error.what());
    std::printf("Update failed; peak working set %s\n", peak.c_str());
    return patcher::exit_code_for(patcher::ErrorCategory::internal);
  }
}
