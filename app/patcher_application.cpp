#include "app/patcher_application.h"

#include <stdexcept>
#include <system_error>
#include <utility>

#include "app/update_job.h"
#include "core/log.h"
#include "core/owned_handle.h"
#include "core/text.h"
#include "engine/launcher_state.h"
#include "engine/self_replacement.h"
#include "install/registration.h"
#include "protocol/path_rule.h"
#include "system/data_folder.h"
#include "system/file_system.h"
#include "system/processes.h"
#include "ui/failure_dialog.h"

namespace kaldren::patcher {
namespace {

constexpr DWORD kPreviousLauncherWaitMs = 30000;
constexpr DWORD kLockWaitAfterHandOverMs = 15000;
constexpr const char* kDefaultExecutable = "bin/64/Kaldren.exe";

// A launcher that handed over to this one may still be closing: give it time to end.
void wait_for_previous_launcher(std::uint32_t pid) {
  UniqueNullHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
  if (!process) return;  // already gone, or not ours to wait for
  if (WaitForSingleObject(process.get(), kPreviousLauncherWaitMs) == WAIT_TIMEOUT) {
    log(LogLevel::warn, "The previous launcher (pid {}) is still running", pid);
  }
}

bool is_existing_file(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

}  // namespace

PatcherApplication::PatcherApplication(HINSTANCE instance, int show_command, LauncherOptions options)
    : instance_(instance), show_command_(show_command), options_(std::move(options)) {}

PatcherApplication::~PatcherApplication() {
  if (job_thread_.joinable()) {
    job_thread_.request_stop();
    job_thread_.join();
  }
  job_ = nullptr;
  folder_lock_.reset();
  window_.reset();
}

int PatcherApplication::run_patch() {
  const std::filesystem::path root(options_.root);
  open_log(log_file(root));
  log_startup(options_, "patch");
  recover_launcher(system_file_system(), root);
  if (options_.wait_pid) {
    if (options_.after_update) {
      // The old launcher rolls back unless this one confirms, and keeps the folder lock
      // until then: confirm once the log and the window show this launcher works, and
      // before the lock.
      open_window();
      confirm_start(*options_.wait_pid);
      log(LogLevel::info, "Confirmed the start to the previous launcher (pid {})", *options_.wait_pid);
    }
    wait_for_previous_launcher(*options_.wait_pid);
  }
  folder_lock_ = std::make_unique<FolderLock>(lock_name(options_.root));
  if (!folder_lock_->try_own(options_.wait_pid ? kLockWaitAfterHandOverMs : 0)) {
    log(LogLevel::info, "Another launcher is already working on this folder");
    window_.reset();  // the other launcher's window is the one to bring forward
    LauncherWindow::bring_to_front();
    return 0;
  }
  launcher_updates_ = true;
  return run_window([this](const std::stop_token& stop, const StatusSink& status) {
    return update_client(stop, status, true);
  });
}

void PatcherApplication::open_window() {
  window_ = std::make_unique<LauncherWindow>(instance_, [this](WindowAction action) { on_window_action(action); });
  window_->set_game_check([this] { return game_can_start(); });
  window_->show(show_command_);
}

int PatcherApplication::run_window(Job job) {
  job_ = std::move(job);
  if (!window_) open_window();
  start_job();
  MSG message{};
  for (;;) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) break;
    if (got == -1) throw std::runtime_error("The launcher message loop failed");
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  if (job_thread_.joinable()) {
    job_thread_.request_stop();
    job_thread_.join();
  }
  return static_cast<int>(message.wParam);
}

void PatcherApplication::start_job() {
  if (job_running_.exchange(true)) return;  // a second Retry while a job runs
  if (job_thread_.joinable()) job_thread_.join();
  {
    std::lock_guard lock(result_lock_);
    has_result_ = false;
  }
  job_thread_ = std::jthread([this](std::stop_token stop) { run_job(stop); });
}

void PatcherApplication::run_job(const std::stop_token& stop) {
  try {
    const JobResult result = job_(stop, [this](const UpdateStatus& status) { window_->set_status(status); });
    {
      std::lock_guard lock(result_lock_);
      result_close_ = result.close;
      result_game_ = result.game;
      has_result_ = true;
    }
    job_running_ = false;
    if (stop.stop_requested()) return;
    if (result.close || !options_.launch_game) {
      window_->post_close();
    } else {
      // The game starts on the window thread, which owns the window it then closes.
      window_->post_action(WindowAction::StartGame);
    }
  } catch (const PatchError& error) {
    job_running_ = false;
    if (error.category() == ErrorCategory::cancelled) {
      log(LogLevel::info, "Stopped: {}", error.what());
      return;
    }
    log(LogLevel::error, "Update failed ({}): {}", category_name(error.category()), error.what());
    // A window being closed wants no dialog, but the log keeps the real failure.
    if (!stop.stop_requested()) report_failure(error.category(), error.what());
  } catch (const std::exception& error) {
    job_running_ = false;
    log(LogLevel::error, "Update failed (internal): {}", error.what());
    if (!stop.stop_requested()) report_failure(ErrorCategory::internal, error.what());
  }
}

PatcherApplication::JobResult PatcherApplication::update_client(const std::stop_token& stop,
                                                                const StatusSink& status,
                                                                bool allow_launcher_update) {
  UpdateJobHooks hooks;
  hooks.report = status;
  if (allow_launcher_update) {
    hooks.hand_over = [this](const std::filesystem::path& staged_launcher, const Release&) {
      return replace_launcher(options_, staged_launcher);
    };
  }
  const EngineResult result = run_update_job(options_, system_file_system(), hooks, stop);
  if (result.outcome == EngineResult::handed_over) return JobResult{true, {}};
  options_.repair = false;  // a Retry checks by the index again
  remove_previous_launcher(options_.root);
  if (!result.kept_installed) refresh_registration(result);
  // The saved state names what is installed, also when an older release was offered.
  return JobResult{false, game_executable()};
}

void PatcherApplication::refresh_registration(const EngineResult& result) {
  // Only this folder's own registration is refreshed: running a second copy of the
  // game must not take the installed-apps entry away from the copy setup registered.
  // The entry is a courtesy, so a registry that refuses it does not fail the update.
  try {
    update_registration(options_.root, to_utf16_lenient(result.installed_version),
                          result.release.client.install_size);
  } catch (const PatchError& error) {
    log(LogLevel::warn, "{}", error.what());
  }
}

void PatcherApplication::on_window_action(WindowAction action) {
  try {
    switch (action) {
      case WindowAction::Retry:
        start_job();
        break;
      case WindowAction::ManualPatch:
        if (!options_.website.empty()) {
          open_with_shell(options_.website);
        } else if (!options_.root.empty()) {
          open_with_shell(path_to_utf16(logs_folder(options_.root)));
        }
        post_close();
        break;
      case WindowAction::Bypass: {
        if (job_running_) break;
        // Escape and the close box answer Bypass too: a half-updated game is never started.
        if (game_can_start()) {
          log(LogLevel::warn, "Starting the game without a completed update (bypass)");
          start_game(game_executable());
        } else {
          post_close();
        }
        break;
      }
      case WindowAction::StartGame: {
        if (job_running_) break;
        std::filesystem::path game;
        {
          std::lock_guard lock(result_lock_);
          if (has_result_) game = result_game_;
        }
        if (!game.empty()) start_game(game);
        break;
      }
      case WindowAction::Stop:
        if (job_thread_.joinable()) job_thread_.request_stop();
        break;
    }
  } catch (const PatchError& error) {
    report_failure(error.category(), error.what());
  } catch (const std::exception& error) {
    report_failure(ErrorCategory::internal, error.what());
  }
}

void PatcherApplication::start_game(const std::filesystem::path& path) {
  if (install_pending()) {
    log(LogLevel::warn, "Not starting the game: an update of its files has not finished");
    post_close();
    return;
  }
  for (;;) {
    try {
      start_process(path, {}, options_.root);  // the handle closes at once: we do not wait
      post_close();
      return;
    } catch (const PatchError& error) {
      // Not a failed update: Retry would update again and Bypass would start the same
      // program again, so the player gets choices that end.
      log(LogLevel::error, "Could not start the game: {}", error.what());
      const int answer = window_ ? window_->ask_after_start_failure(error.what()) : start_close;
      if (answer == start_try_again) continue;
      if (answer == start_repair) {
        log(LogLevel::info, "Repairing the game files after the game did not start");
        options_.repair = true;
        job_ = [this](const std::stop_token& stop, const StatusSink& status) {
          return update_client(stop, status, launcher_updates_);
        };
        start_job();
      } else {
        post_close();
      }
      return;
    }
  }
}

void PatcherApplication::report_failure(ErrorCategory category, const std::string& message) {
  UpdateStatus status;
  status.phase = UpdateStatus::failed;
  status.text = message;
  status.category = category;
  if (window_) window_->set_status(status);
}

std::filesystem::path PatcherApplication::game_executable() {
  if (options_.root.empty()) return {};
  const std::filesystem::path root(options_.root);
  const LauncherState state = load_state(system_file_system(), root);
  return resolve_path(root, state.installed ? state.installed->executable : kDefaultExecutable);
}

bool PatcherApplication::install_pending() {
  return !options_.root.empty() && load_state(system_file_system(), std::filesystem::path(options_.root)).pending;
}

bool PatcherApplication::game_can_start() {
  const std::filesystem::path game = game_executable();
  return !game.empty() && is_existing_file(game) && !install_pending();
}

void PatcherApplication::post_close() {
  if (window_) window_->post_close();
}

int run_launcher(HINSTANCE instance, int show_command, const std::vector<std::wstring>& arguments) {
  PatcherApplication application(instance, show_command, parse_command_line(arguments));
  switch (application.options().mode) {
    case RunMode::Patch:
      return application.run_patch();
    case RunMode::Setup:
      return application.run_install();
    case RunMode::Uninstall:
      return application.run_uninstall();
    case RunMode::UninstallFinish:
      return application.run_uninstall_finish();
  }
  throw PatchError(ErrorCategory::internal, "Unknown run mode");
}

}  // namespace kaldren::patcher
