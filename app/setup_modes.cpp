// Setup, uninstall and uninstall-finish modes: the order of their steps. The pages and
// the installation itself live below; this file only decides what happens when.
#include <windows.h>
#include <knownfolders.h>

#include <filesystem>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "app/patcher_application.h"
#include "app/update_job.h"
#include "core/log.h"
#include "core/text.h"
#include "install/processes.h"
#include "install/registration.h"
#include "system/data_folder.h"
#include "transport/make_transport.h"
#include "ui/setup_pages.h"

namespace kaldren::patcher {
namespace {

constexpr DWORD kSetupWaitForPidMs = 30000;
constexpr DWORD kUninstallWaitForPidMs = 60000;
constexpr std::uint32_t kSetupFolderLockMs = 5000;
constexpr std::uint32_t kUninstallLockMs = 2000;
constexpr std::uint32_t kUninstallFinishLockMs = 10000;
constexpr wchar_t kSetupTitle[] = L"Kaldren Morvale Setup";

// True when the process ended (or was never ours to wait for) within the wait.
bool wait_for_process(std::uint32_t pid, DWORD milliseconds) {
  UniqueNullHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
  if (!process) return true;
  return WaitForSingleObject(process.get(), milliseconds) != WAIT_TIMEOUT;
}

// The running setup may be on its page (a task dialog) or already in the window.
void bring_setup_to_front() {
  if (LauncherWindow::bring_to_front()) return;
  const HWND page = FindWindowW(nullptr, kSetupTitle);
  if (page == nullptr) return;
  if (IsIconic(page)) ShowWindow(page, SW_RESTORE);
  SetForegroundWindow(page);
}

// Wine does not know the per-user programs folder; Windows keeps it here as well.
std::filesystem::path per_user_programs_folder() {
  try {
    return known_folder_path(FOLDERID_UserProgramFiles);
  } catch (const PatchError&) {
    return std::filesystem::path(known_folder_path(FOLDERID_LocalAppData)) / L"Programs";
  }
}

bool is_existing_file(const std::filesystem::path& path) {
  std::error_code error;
  return std::filesystem::is_regular_file(path, error);
}

std::wstring folder_launcher(const std::wstring& folder) {
  return (std::filesystem::path(folder) / kLauncherFileName).wstring();
}

}  // namespace

int PatcherApplication::run_install() {
  open_log(std::filesystem::path(temporary_folder()) / L"KaldrenMorvale-setup.log");
  log_startup(options_, "install");
  if (options_.wait_pid) wait_for_process(*options_.wait_pid, kSetupWaitForPidMs);

  FolderLock setup_lock(lock_name(L"setup"));
  if (!setup_lock.try_own(0)) {
    log(LogLevel::info, "Another setup is already running");
    bring_setup_to_front();
    return 0;
  }

  // A setup started with its own sources or channel installs anew, even beside a
  // registered installation: the player asked for something else.
  const std::optional<std::wstring> registered = read_registration();
  if (registered && is_existing_file(folder_launcher(*registered)) && !options_.sources_from_command_line &&
      !options_.channel_from_command_line) {
    const int answer = show_installed_page(instance_, *registered);
    if (answer == 0 || answer == 1) {
      std::vector<std::wstring> arguments{L"--root", *registered};
      if (answer == 1) arguments.emplace_back(L"--repair");
      start_process(folder_launcher(*registered), arguments, *registered);
    }
    return 0;
  }

  const std::wstring default_folder = (per_user_programs_folder() / kInstallFolderName).wstring();
  const std::vector<std::wstring> sources = options_.sources;
  const std::string channel = options_.channel;
  InstallPageResult page = show_install_page(instance_, default_folder, [sources, channel](const std::stop_token& stop) {
    const std::unique_ptr<Transport> transport = make_transport(sources);
    return choose_release(*transport, channel, trusted_release_keys(), stop, trusted_release_key_threshold());
  });
  if (!page.accepted || !page.release) {
    log(LogLevel::info, "Setup cancelled");
    return 0;
  }

  options_.root = page.request.folder;
  folder_lock_ = std::make_unique<FolderLock>(lock_name(options_.root));
  if (!folder_lock_->try_own(kSetupFolderLockMs)) {
    show_message(nullptr, MessageIcon::error, L"The game is already being updated",
                 L"Another launcher is working on that folder. Wait for it to finish.", TDCBF_OK_BUTTON);
    return 1;
  }
  const InstallRequest request = page.request;
  const Release release = *page.release;
  return run_window([this, request, release](const std::stop_token& stop, const StatusSink& status) {
    return install_job(stop, status, request, release);
  });
}

PatcherApplication::JobResult PatcherApplication::install_job(const std::stop_token& stop, const StatusSink& status,
                                                              const InstallRequest& request, const Release& release) {
  UpdateStatus preparing;
  preparing.phase = UpdateStatus::preparing;
  preparing.text = "Preparing the installation...";
  status(preparing);
  InstallResult installed;
  {
    const std::unique_ptr<Transport> transport = make_transport(options_.sources);
    installed = install_game(request, release, *transport, options_, stop);
  }
  if (installed.launcher_from_release) {
    // The release's launcher is newer than this one: it makes the first update.
    std::vector<std::wstring> arguments{L"--root", request.folder, L"--wait-pid",
                                        std::to_wstring(GetCurrentProcessId())};
    if (!options_.launch_game) arguments.emplace_back(L"--no-launch");
    start_process(installed.launcher, arguments, request.folder);
    return JobResult{true, {}};
  }
  read_patcher_ini(options_, request.folder);
  return update_client(stop, status, false);
}

int PatcherApplication::run_uninstall() {
  const std::filesystem::path root(options_.root);
  open_log(log_file(root));
  log_startup(options_, "uninstall");
  if (!options_.quiet && !confirm_uninstall(options_.root)) return 0;

  std::optional<FolderLock> lock(std::in_place, lock_name(options_.root));
  if (!lock->try_own(kUninstallLockMs)) {
    log(LogLevel::info, "Uninstall refused: the launcher is running");
    if (!options_.quiet) {
      show_message(nullptr, MessageIcon::error, L"The launcher is running",
                   L"Close the game launcher, then try again.", TDCBF_OK_BUTTON);
    }
    return 1;
  }
  if (is_program_running(game_executable())) {
    log(LogLevel::info, "Uninstall refused: the game is running");
    if (!options_.quiet) {
      show_message(nullptr, MessageIcon::error, L"The game is running", L"Close the game, then try again.",
                   TDCBF_OK_BUTTON);
    }
    return 1;
  }
  lock.reset();  // the copy waits for this folder's lock
  start_uninstall_finish(options_);
  return 0;
}

int PatcherApplication::run_uninstall_finish() {
  const std::filesystem::path log_path = std::filesystem::path(temporary_folder()) / L"KaldrenMorvale-uninstall.log";
  open_log(log_path);
  log_startup(options_, "uninstall-finish");
  if (options_.wait_pid && !wait_for_process(*options_.wait_pid, kUninstallWaitForPidMs)) {
    log(LogLevel::warn, "The launcher that started the uninstall is still running");
  }
  FolderLock lock(lock_name(options_.root));
  lock.try_own(kUninstallFinishLockMs);  // removing what we can beats refusing

  const UninstallSummary summary = remove_installation(options_.root);
  open_log(log_path);
  log(LogLevel::info, "Uninstall removed {} files, {} failed, folder removed: {}", summary.removed, summary.failed,
      summary.folder_removed);
  if (!options_.quiet) {
    std::wstring content = std::wstring(L"Kaldren Morvale") + L" was removed from your computer.";
    if (!summary.folder_removed) content += L"\n\nFiles you added are still in:\n" + options_.root;
    if (summary.failed > 0) content += L"\n\nSome files were in use and could not be removed.";
    show_message(nullptr, MessageIcon::information, L"Uninstall complete", content, TDCBF_OK_BUTTON);
  }
  return 0;
}

}  // namespace kaldren::patcher
