// The launcher's skinned progress window: shows the job's status (progress at most
// every 50 ms, a new phase or a failure at once), asks what to do after a failure and
// hands the user's decisions to `on_action` on the window thread. The title and the
// taskbar button show the progress too.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "engine/update_engine.h"
#include "ui/launcher_canvas.h"
#include "ui/progress_title.h"
#include "ui/taskbar_progress.h"
#include "ui/window_action.h"

namespace kaldren::patcher {

inline constexpr wchar_t launcher_window_class[] = L"KaldrenMorvale.Lanternix.Window";
inline constexpr UINT launcher_status_message = WM_APP + 1;
inline constexpr UINT launcher_action_message = WM_APP + 2;

class LauncherWindow {
 public:
  // Loads the skin (std::runtime_error when it cannot); the window comes with show().
  LauncherWindow(HINSTANCE instance, std::function<void(WindowAction)> on_action);
  ~LauncherWindow();
  LauncherWindow(const LauncherWindow&) = delete;
  LauncherWindow& operator=(const LauncherWindow&) = delete;

  // Creates the window centred on the primary work area and shows it (window thread).
  void show(int show_command);
  // Any thread: stores the status; a new phase or a failure is painted at once.
  void set_status(const UpdateStatus& status);
  // Any thread: closes the window (as the user would) / hands `action` to on_action.
  void post_close();
  void post_action(WindowAction action);
  // Window thread, before show(): asked before the failure dialog whether the game could
  // start now; without it the dialog offers no Bypass. Unset: it could.
  void set_game_check(std::function<bool()> game_can_start);
  // Window thread: the choice after the game did not start (StartFailureAnswer).
  int ask_after_start_failure(const std::string& failure_text);
  // Brings a launcher window of any process forward; false when there is none.
  static bool bring_to_front();

  // The window while it exists (any thread); null before show() and once destroyed.
  HWND handle() const noexcept { return hwnd_.load(); }

 private:
  static LRESULT CALLBACK window_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT handle(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  UpdateStatus snapshot();
  void paint(HWND hwnd);
  void on_status(HWND hwnd);
  void show_progress_outside(HWND hwnd, const UpdateStatus& status);

  HINSTANCE instance_;
  std::function<void(WindowAction)> on_action_;
  std::function<bool()> game_can_start_;
  std::unique_ptr<LauncherCanvas> canvas_;
  std::atomic<HWND> hwnd_{nullptr};
  std::mutex status_lock_;
  UpdateStatus status_;
  std::atomic<bool> dirty_{false};
  bool dialog_open_ = false;
  // Beyond the canvas, window thread only: the title while downloading, the taskbar.
  DownloadRate rate_;
  std::wstring title_;
  TaskbarProgress taskbar_;
};

}  // namespace kaldren::patcher
