// The launcher program's spine: one object per process that runs a mode, owns the
// window, the folder lock and the job thread, and turns the window's actions into
// jobs, game starts and closes. Built and used on the window (main) thread only;
// the job thread reaches it through the window's status and posted messages.
#pragma once

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>

#include "config/options.h"
#include "core/error.h"
#include "engine/update_engine.h"
#include "install/installation.h"
#include "system/folder_lock.h"
#include "ui/launcher_window.h"

namespace kaldren::patcher {

// Exit codes of the uninstall modes beyond 0 (done or declined).
inline constexpr int kUninstallBusy = 1;        // the launcher or the game runs
inline constexpr int kUninstallCannotTell = 2;  // no installation, or its files cannot be told

class PatcherApplication {
 public:
  struct JobResult {
    bool close = false;              // handed over to another launcher: only close
    std::filesystem::path game;      // the game executable to start; may be empty
  };
  using StatusSink = std::function<void(const UpdateStatus&)>;
  using Job = std::function<JobResult(const std::stop_token&, const StatusSink&)>;

  PatcherApplication(HINSTANCE instance, int show_command, LauncherOptions options);
  // Stops and joins the job, then releases the lock and destroys the window.
  ~PatcherApplication();
  PatcherApplication(const PatcherApplication&) = delete;
  PatcherApplication& operator=(const PatcherApplication&) = delete;

  // Patch mode: the exit code (0 also when another launcher works on the folder).
  int run_patch();
  // Setup mode: the install page, then the install job in the window; the exit code.
  int run_install();
  // Uninstall mode: confirms, checks that neither a launcher nor the game runs and
  // hands the removal to a temporary copy; 1 when something runs, 2 when the folder is
  // no installation or its files cannot be told from the player's.
  int run_uninstall();
  // Uninstall-finish mode (that copy): the same checks under the folder lock, then
  // removes the installation and reports; 0 done, or 1 and 2 as above.
  int run_uninstall_finish();
  // Shows the window, starts `job` and runs the message loop; the quit code.
  int run_window(Job job);
  // Starts the job on a new job thread unless one runs.
  void start_job();
  // The update as patch mode (true) or setup's in-place update (false) runs it.
  JobResult update_client(const std::stop_token& stop, const StatusSink& status, bool allow_launcher_update);

  void on_window_action(WindowAction action);
  // Starts the game unless an update of its files is unfinished; when it does not
  // start, asks the player: try again, repair (a new job) or close.
  void start_game(const std::filesystem::path& path);
  void report_failure(ErrorCategory category, const std::string& message);
  // The installed release's executable under the root (or the default one); empty
  // without a root.
  std::filesystem::path game_executable();
  // True when the game executable is there and no update of its files is unfinished.
  bool game_can_start();

  const LauncherOptions& options() const { return options_; }

 private:
  void run_job(const std::stop_token& stop);
  JobResult install_job(const std::stop_token& stop, const StatusSink& status, const InstallRequest& request,
                        const Release& release, const std::vector<std::string>& client_paths);
  void post_close();
  // Creates and shows the window (once per run).
  void open_window();
  bool install_pending();
  int finish_uninstall(const std::filesystem::path& log_path);
  // Uninstall checks: true / an exit code when they refuse, after telling the player why.
  bool refuse_foreign_folder();
  int refuse_while_busy_or_unknown(const std::wstring& close_the_game);
  // An error message, unless quiet.
  void tell(const std::wstring& instruction, const std::wstring& content);
  void refresh_registration(const EngineResult& result);

  HINSTANCE instance_;
  int show_command_;
  LauncherOptions options_;
  Job job_;
  bool launcher_updates_ = false;  // patch mode: a repair job may hand over too
  std::unique_ptr<LauncherWindow> window_;
  std::unique_ptr<FolderLock> folder_lock_;
  std::atomic<bool> job_running_{false};
  std::jthread job_thread_;
  std::mutex result_lock_;
  bool result_close_ = false;
  std::filesystem::path result_game_;
  bool has_result_ = false;
};

// The program's entry after the process set-up: parses `arguments` (without the
// program name), runs the chosen mode and returns its exit code. Throws on fatal errors.
int run_launcher(HINSTANCE instance, int show_command, const std::vector<std::wstring>& arguments);

}  // namespace kaldren::patcher
