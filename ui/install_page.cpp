// The install page: a task dialog that reads the release in the background while the
// player looks at it, so that it can tell the download size before anything is
// written, and refuses unusable folders without closing.
#include <mutex>
#include <thread>
#include <utility>

#include "core/log.h"
#include "core/text.h"
#include "core/version.h"
#include "ui/resource_ids.h"
#include "ui/setup_pages.h"
#include "ui/task_dialog.h"

namespace kaldren::patcher {
namespace {

constexpr int kInstallButton = 100;
constexpr int kChangeFolderButton = 101;
constexpr wchar_t kChecking[] = L"Checking the patch server...";

struct ControlSearch {
  int id;
  HWND found;
};

// A page's button by its id, at whatever depth the task dialog keeps it.
HWND page_control(HWND page, int id) {
  ControlSearch search{id, nullptr};
  EnumChildWindows(
      page,
      [](HWND child, LPARAM data) -> BOOL {
        auto* wanted = reinterpret_cast<ControlSearch*>(data);
        if (GetDlgCtrlID(child) != wanted->id) return TRUE;
        wanted->found = child;
        return FALSE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

class InstallPage {
 public:
  InstallPage(HINSTANCE instance, std::wstring folder, ReleaseReader reader, FolderCheck check)
      : instance_(instance), reader_(std::move(reader)), check_(std::move(check)), folder_(std::move(folder)) {}
  InstallPage(const InstallPage&) = delete;
  InstallPage& operator=(const InstallPage&) = delete;
  ~InstallPage() { stop_check(); }

  InstallPageResult run() {
    const TASKDIALOG_BUTTON buttons[] = {{kInstallButton, L"&Install"}, {kChangeFolderButton, L"&Change folder..."}};
    const std::wstring instruction = std::wstring(L"Install ") + kGameDisplayName;
    const std::wstring footer = L"Launcher " + own_version_text(instance_) +
                                L". The game installs for your Windows account only and updates itself.";
    // The folder and status follow the content once the page exists.
    TASKDIALOGCONFIG config = task_dialog_config(
        kSetupTitle, MAKEINTRESOURCEW(LANTERNIX_ICON), instruction.c_str(), L"Install location:\n\n",
        TDF_VERIFICATION_FLAG_CHECKED | TDF_CALLBACK_TIMER | TDF_SIZE_TO_CONTENT | TDF_ALLOW_DIALOG_CANCELLATION,
        TDCBF_CANCEL_BUTTON);
    config.hInstance = instance_;
    config.cButtons = static_cast<UINT>(std::size(buttons));
    config.pButtons = buttons;
    config.nDefaultButton = kInstallButton;
    config.pszVerificationText = L"Create a desktop shortcut";
    config.pszFooterIcon = TD_INFORMATION_ICON;
    config.pszFooter = footer.c_str();
    config.pfCallback = callback;
    config.lpCallbackData = reinterpret_cast<LONG_PTR>(this);
    int pressed = 0;
    BOOL desktop_shortcut = TRUE;
    const HRESULT shown = run_task_dialog(config, &pressed, &desktop_shortcut);
    stop_check();
    if (FAILED(shown)) {
      log(LogLevel::error, "Could not show the install page (HRESULT {:#010x})", static_cast<unsigned long>(shown));
    }
    InstallPageResult result;
    const std::lock_guard lock(mutex_);
    result.request = {folder_, desktop_shortcut != FALSE};
    result.accepted = SUCCEEDED(shown) && pressed == kInstallButton && release_.has_value();
    if (result.accepted) result.release = std::move(release_);
    return result;
  }

 private:
  static HRESULT CALLBACK callback(HWND page, UINT notification, WPARAM wparam, LPARAM, LONG_PTR data) {
    try {
      return reinterpret_cast<InstallPage*>(data)->on_notification(page, notification, wparam);
    } catch (const std::exception& error) {
      // Nothing may unwind through the task dialog; the page stays, Cancel still works.
      log(LogLevel::error, "The install page failed: {}", error.what());
      return S_FALSE;
    }
  }

  HRESULT on_notification(HWND page, UINT notification, WPARAM wparam) {
    switch (notification) {
      case TDN_CREATED:
        disable_install(page);
        start_check();
        set_content(page);
        return S_OK;
      case TDN_TIMER:
        show_outcome(page);
        keep_focus(page);
        return S_OK;
      case TDN_BUTTON_CLICKED:
        if (wparam == kChangeFolderButton) {
          change_folder(page);
          return S_FALSE;
        }
        if (wparam == kInstallButton) return install_pressed(page) ? S_OK : S_FALSE;
        return S_OK;
      default:
        return S_OK;
    }
  }

  // Page thread only.
  void start_check() {
    stop_check();  // a previous check's outcome must not land on this one
    {
      const std::lock_guard lock(mutex_);
      checking_ = true;
      done_ = false;
      shown_ = false;
      error_.clear();
      status_ = kChecking;
    }
    check_thread_ = std::jthread([this](std::stop_token stop) { check(stop); });
  }

  void stop_check() noexcept {
    if (!check_thread_.joinable()) return;
    check_thread_.request_stop();
    check_thread_.join();
  }

  // The check thread: never touches the page, which learns of the outcome from its timer.
  void check(const std::stop_token& stop) {
    std::optional<Release> read;
    std::string failure;
    try {
      read = reader_(stop);
    } catch (const std::exception& error) {
      failure = error.what();
    } catch (...) {
      failure = "Unexpected error";
    }
    if (!read) log(LogLevel::error, "Setup could not read the release: {}", failure);
    const std::lock_guard lock(mutex_);
    release_ = std::move(read);
    error_ = std::move(failure);
    checking_ = false;
    done_ = true;
  }

  void show_outcome(HWND page) {
    {
      const std::lock_guard lock(mutex_);
      if (!done_ || shown_) return;
      shown_ = true;
      if (release_) {
        const ClientSection& client = release_->client;
        status_ = to_utf16_lenient(fmt::format("Download: {}   (uses {} on disk)\nVersion {}",
                                               format_size(client.download_size), format_size(client.install_size),
                                               version_text(client.version)));
      } else {
        status_ = L"Could not reach the patch server:\n" + to_utf16_lenient(error_) + L"\n\nSelect Install to try again.";
      }
    }
    enable_install(page);
    set_content(page);
  }

  // A disabled control keeps no focus: the focus would be nowhere and the page deaf to
  // every key (Return, Tab, Escape) until clicked. It waits on "Change folder..." and
  // comes back once Install is enabled again, unless the player moved it meanwhile.
  void disable_install(HWND page) {
    const HWND install = page_control(page, kInstallButton);
    const HWND focus = GetFocus();
    SendMessageW(page, TDM_ENABLE_BUTTON, kInstallButton, FALSE);
    if (focus == nullptr || focus == install || !IsChild(page, focus)) {
      focus_waiting_ = page_control(page, kChangeFolderButton);
      if (focus_waiting_ != nullptr) SendMessageW(page, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(focus_waiting_), TRUE);
    }
  }

  // Whatever took the focus away (a control disabled under it), the active page keeps one.
  void keep_focus(HWND page) {
    if (GetFocus() != nullptr || GetActiveWindow() != page) return;
    const HWND install = page_control(page, kInstallButton);
    const HWND target = install != nullptr && IsWindowEnabled(install) ? install : page_control(page, kChangeFolderButton);
    if (target != nullptr) SendMessageW(page, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(target), TRUE);
  }

  void enable_install(HWND page) {
    SendMessageW(page, TDM_ENABLE_BUTTON, kInstallButton, TRUE);
    const HWND install = page_control(page, kInstallButton);
    const HWND focus = GetFocus();
    if (install != nullptr && (focus == nullptr || focus == focus_waiting_ || !IsChild(page, focus))) {
      SendMessageW(page, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(install), TRUE);
    }
    focus_waiting_ = nullptr;
  }

  void set_content(HWND page) {
    std::wstring content;
    {
      const std::lock_guard lock(mutex_);
      content_ = L"Install location:\n" + folder_ + L"\n\n" + status_;
      content = content_;
    }
    SendMessageW(page, TDM_SET_ELEMENT_TEXT, TDE_CONTENT, reinterpret_cast<LPARAM>(content.c_str()));
  }

  void change_folder(HWND page) {
    std::wstring current;
    {
      const std::lock_guard lock(mutex_);
      current = folder_;
    }
    const std::optional<std::wstring> picked = pick_folder(page, current);
    if (!picked) return;
    std::wstring resolved = resolve_install_folder(*picked);
    {
      const std::lock_guard lock(mutex_);
      folder_ = std::move(resolved);
    }
    set_content(page);
  }

  // True when the page may close with Install.
  bool install_pressed(HWND page) {
    std::wstring folder;
    std::optional<Release> release;
    {
      const std::lock_guard lock(mutex_);
      folder = folder_;
      release = release_;
    }
    if (!release) {
      disable_install(page);
      start_check();
      set_content(page);
      return false;
    }
    try {
      if (check_) {
        check_(folder, *release);
      } else {
        check_install_folder(folder, release->client.install_size);
      }
      return true;
    } catch (const std::exception& refusal) {
      show_message(page, MessageIcon::error, L"This folder cannot be used", to_utf16_lenient(refusal.what()),
                   TDCBF_OK_BUTTON);
      return false;
    }
  }

  const HINSTANCE instance_;
  const ReleaseReader reader_;
  const FolderCheck check_;
  HWND focus_waiting_ = nullptr;  // page thread only: where the focus went while Install was off
  std::mutex mutex_;  // guards everything below but the check thread itself
  std::wstring folder_;
  std::wstring content_;
  std::wstring status_ = kChecking;
  bool checking_ = false;
  bool done_ = false;
  bool shown_ = false;
  std::optional<Release> release_;
  std::string error_;
  std::jthread check_thread_;  // page thread only; last, so that it ends before the state it uses
};

}  // namespace

InstallPageResult show_install_page(HINSTANCE instance, const std::wstring& default_folder, ReleaseReader reader,
                                    FolderCheck check) {
  InstallPage page(instance, default_folder, std::move(reader), std::move(check));
  return page.run();
}

}  // namespace kaldren::patcher
