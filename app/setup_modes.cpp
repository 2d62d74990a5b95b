// Setup, uninstall and uninstall-finish modes: the order of their steps. The pages and
// the installation itself live below; this file only decides what happens when.
#include <windows.h>
#include <knownfolders.h>

#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <fmt/format.h>

#include "app/patcher_application.h"
#include "app/update_job.h"
#include "core/log.h"
#include "core/text.h"
#include "engine/client_preview.h"
#include "engine/self_replacement.h"
#include "install/registration.h"
#include "install/uninstall.h"
#include "system/data_folder.h"
#include "system/processes.h"
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

// The client's file paths, read on the page's check thread, used on the page's thread.
class ClientPaths {
 public:
  void set(std::vector<std::string> paths) {
    const std::lock_guard hold(lock_);
    paths_ = std::move(paths);
  }
  std::vector<std::string> get() {
    const std::lock_guard hold(lock_);
    return paths_;
  }

 private:
  std::mutex lock_;
  std::vector<std::string> paths_;
};

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
  if (registered) recover_launcher(system_file_system(), std::filesystem::path(*registered));
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
  // The client's paths come with the release, so that a folder too deep for them is
  // refused on the page, before anything is written.
  const auto client = std::make_shared<ClientPaths>();
  const auto read_release = [sources, channel, client](const std::stop_token& stop) {
    const std::unique_ptr<Transport> transport = make_transport(sources);
    Release release = choose_release(*transport, channel, trusted_release_keys(), stop, trusted_release_key_threshold());
    client->set(client_file_paths(*transport, release, stop));
    return release;
  };
  const auto check_folder = [client](const std::wstring& folder, const Release& release) {
    check_install_folder(folder, release.client.install_size);
    check_install_depth(folder, client->get());
  };
  InstallPageResult page = show_install_page(instance_, default_folder, read_release, check_folder);
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
  const std::vector<std::string> paths = client->get();
  return run_window([this, request, release, paths](const std::stop_token& stop, const StatusSink& status) {
    return install_job(stop, status, request, release, paths);
  });
}

PatcherApplication::JobResult PatcherApplication::install_job(const std::stop_token& stop, const StatusSink& status,
                                                              const InstallRequest& request, const Release& release,
                                                              const std::vector<std::string>& client_paths) {
  UpdateStatus preparing;
  preparing.phase = UpdateStatus::preparing;
  preparing.text = "Preparing the installation...";
  status(preparing);
  // Every check before the first write: a refused folder leaves nothing to uninstall.
  check_install_depth(request.folder, client_paths);
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
  if (refuse_foreign_folder()) return kUninstallCannotTell;
  if (!options_.quiet && !confirm_uninstall(options_.root)) return 0;

  std::optional<FolderLock> lock(std::in_place, lock_name(options_.root));
  if (!lock->try_own(kUninstallLockMs)) {
    log(LogLevel::info, "Uninstall refused: the launcher is running");
    tell(L"The launcher is running", L"Close the game launcher, then try again.");
    return kUninstallBusy;
  }
  if (const int refused = refuse_while_busy_or_unknown(L"Close the game, then try again.")) return refused;
  lock.reset();  // the copy waits for this folder's lock
  start_uninstall_finish(options_);
  return 0;
}

int PatcherApplication::run_uninstall_finish() {
  const std::filesystem::path log_path = std::filesystem::path(temporary_folder()) / L"KaldrenMorvale-uninstall.log";
  open_log(log_path);
  log_startup(options_, "uninstall-finish");
  const int code = finish_uninstall(log_path);
  open_log(log_path);
  remove_own_copy_after_exit();
  return code;
}

int PatcherApplication::finish_uninstall(const std::filesystem::path& log_path) {
  if (options_.wait_pid && !wait_for_process(*options_.wait_pid, kUninstallWaitForPidMs)) {
    log(LogLevel::warn, "The launcher that started the uninstall is still running");
  }
  // Without the lock a launcher may be updating these very files, or about to start
  // the game from them: nothing is deleted then.
  FolderLock lock(lock_name(options_.root));
  if (!lock.try_own(kUninstallFinishLockMs)) {
    log(LogLevel::warn, "Uninstall stopped: another launcher is working on this folder");
    tell(L"The launcher is running", L"Close the game launcher, then run the uninstall again. Nothing was removed.");
    return kUninstallBusy;
  }
  if (refuse_foreign_folder()) return kUninstallCannotTell;
  // The game may have been started from the Start menu since the uninstall checked.
  if (const int refused = refuse_while_busy_or_unknown(L"Close the game, then run the uninstall again. Nothing was "
                                                       L"removed.")) {
    return refused;
  }

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

bool PatcherApplication::refuse_foreign_folder() {
  if (is_installation(options_.root)) return false;
  // The root falls back to the launcher's own folder: a downloaded setup run with
  // --uninstall must not delete its Downloads folder.
  log(LogLevel::warn, "Uninstall refused: {} holds no installation", to_utf8_lenient(options_.root));
  tell(L"Nothing to uninstall here",
       options_.root + L"\nholds no installation of Kaldren Morvale, so nothing was removed.");
  return true;
}

int PatcherApplication::refuse_while_busy_or_unknown(const std::wstring& close_the_game) {
  if (is_program_running(game_executable())) {
    log(LogLevel::info, "Uninstall refused: the game is running");
    tell(L"The game is running", close_the_game);
    return kUninstallBusy;
  }
  try {
    installed_game_files(options_.root);
  } catch (const PatchError& error) {
    log(LogLevel::error, "Uninstall refused: {}", error.what());
    tell(L"The uninstall cannot tell the game's files apart",
         to_utf16_lenient(error.what()) +
             L"\n\nNothing was removed. Run the setup and choose \"Check and repair the game files\", then "
             L"uninstall again.");
    return kUninstallCannotTell;
  }
  return 0;
}

void PatcherApplication::tell(const std::wstring& instruction, const std::wstring& content) {
  if (!options_.quiet) show_message(nullptr, MessageIcon::error, instruction, content, TDCBF_OK_BUTTON);
}

}  // namespace kaldren::patcher
