#include "ui/launcher_window.h"

#include <windowsx.h>

#include <exception>
#include <utility>

#include "core/log.h"
#include "core/text.h"
#include "ui/failure_dialog.h"
#include "ui/resource_ids.h"

namespace kaldren::patcher {
namespace {

constexpr UINT_PTR repaint_timer = 1;
constexpr UINT repaint_period_ms = 50;
constexpr wchar_t window_title[] = L"[Kaldren Morvale] Lanternixing...";

WindowAction action_for(int answer) noexcept {
  switch (answer) {
    case failure_retry:
      return WindowAction::Retry;
    case failure_manual_patch:
      return WindowAction::ManualPatch;
    default:
      return WindowAction::Bypass;
  }
}

// The window's size at `dpi`: the design size scaled (96 is 100 %).
SIZE size_for_dpi(UINT dpi) {
  const int scale = dpi != 0 ? static_cast<int>(dpi) : static_cast<int>(GetDpiForSystem());
  return {MulDiv(LauncherCanvas::width, scale, 96), MulDiv(LauncherCanvas::height, scale, 96)};
}

HICON class_icon(HINSTANCE instance, int metric_x, int metric_y) {
  // Shared icons belong to the system, which frees them with the module.
  return static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(LANTERNIX_ICON), IMAGE_ICON,
                                       GetSystemMetrics(metric_x), GetSystemMetrics(metric_y), LR_SHARED));
}

}  // namespace

LauncherWindow::LauncherWindow(HINSTANCE instance, std::function<void(WindowAction)> on_action)
    : instance_(instance),
      on_action_(std::move(on_action)),
      canvas_(std::make_unique<LauncherCanvas>(instance)),
      title_(window_title) {
  status_.text = "Connecting to the patch server...";
}

LauncherWindow::~LauncherWindow() {
  // A window outliving its object would call into freed memory: detach, then destroy.
  if (const HWND hwnd = hwnd_.exchange(nullptr)) {
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
    DestroyWindow(hwnd);
  }
}

void LauncherWindow::show(int show_command) {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.style = CS_HREDRAW | CS_VREDRAW;
  window_class.lpfnWndProc = window_procedure;
  window_class.hInstance = instance_;
  window_class.hIcon = class_icon(instance_, SM_CXICON, SM_CYICON);
  window_class.hIconSm = class_icon(instance_, SM_CXSMICON, SM_CYSMICON);
  window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  window_class.lpszClassName = launcher_window_class;
  if (RegisterClassExW(&window_class) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
    throw_ui_failure("Could not register the launcher window");
  }
  // The work area's monitor decides the size: its scaling may differ from the system's
  // (per-monitor awareness), and WM_DPICHANGED follows a move to another monitor.
  RECT area{};
  SystemParametersInfoW(SPI_GETWORKAREA, 0, &area, 0);
  SetLastError(ERROR_SUCCESS);
  if (CreateWindowExW(WS_EX_APPWINDOW, launcher_window_class, window_title, WS_POPUP | WS_SYSMENU | WS_MINIMIZEBOX,
                      area.left, area.top, LauncherCanvas::width, LauncherCanvas::height, nullptr, nullptr, instance_,
                      this) == nullptr) {
    throw_ui_failure("Could not create the launcher window");
  }
  const HWND hwnd = hwnd_.load();
  const SIZE size = size_for_dpi(GetDpiForWindow(hwnd));
  SetWindowPos(hwnd, nullptr, area.left + ((area.right - area.left) - size.cx) / 2,
               area.top + ((area.bottom - area.top) - size.cy) / 2, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
  SetTimer(hwnd, repaint_timer, repaint_period_ms, nullptr);
  ShowWindow(hwnd, show_command);
  UpdateWindow(hwnd);
}

void LauncherWindow::set_status(const UpdateStatus& status) {
  bool paint_now = false;
  {
    const std::scoped_lock hold(status_lock_);
    paint_now = status.phase != status_.phase || status.phase == UpdateStatus::failed;
    status_ = status;
  }
  dirty_.store(true);
  if (const HWND hwnd = hwnd_.load(); paint_now && hwnd != nullptr) PostMessageW(hwnd, launcher_status_message, 0, 0);
}

void LauncherWindow::post_close() {
  if (const HWND hwnd = hwnd_.load()) PostMessageW(hwnd, WM_CLOSE, 0, 0);
}

void LauncherWindow::post_action(WindowAction action) {
  if (const HWND hwnd = hwnd_.load()) {
    PostMessageW(hwnd, launcher_action_message, static_cast<WPARAM>(action), 0);
  }
}

void LauncherWindow::set_game_check(std::function<bool()> game_can_start) {
  game_can_start_ = std::move(game_can_start);
}

int LauncherWindow::ask_after_start_failure(const std::string& failure_text) {
  dialog_open_ = true;
  const int answer = show_start_failure_dialog(instance_, hwnd_.load(), to_utf16_lenient(failure_text));
  dialog_open_ = false;
  return answer;
}

bool LauncherWindow::bring_to_front() {
  const HWND hwnd = FindWindowW(launcher_window_class, nullptr);
  if (hwnd == nullptr) return false;
  if (IsIconic(hwnd)) ShowWindow(hwnd, SW_RESTORE);
  SetForegroundWindow(hwnd);
  return true;
}

UpdateStatus LauncherWindow::snapshot() {
  const std::scoped_lock hold(status_lock_);
  return status_;
}

LRESULT CALLBACK LauncherWindow::window_procedure(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* self = static_cast<LauncherWindow*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    self->hwnd_.store(hwnd);
  }
  auto* self = reinterpret_cast<LauncherWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  return self != nullptr ? self->handle(hwnd, message, wparam, lparam) : DefWindowProcW(hwnd, message, wparam, lparam);
}

LRESULT LauncherWindow::handle(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  // Progress set on the taskbar before its button exists is lost: set it again then.
  static const UINT taskbar_button_created = RegisterWindowMessageW(L"TaskbarButtonCreated");
  if (message == taskbar_button_created && message != 0) {
    taskbar_.forget_shown();
    show_progress_outside(hwnd, snapshot());
    return 0;
  }
  switch (message) {
    case WM_PAINT:
      paint(hwnd);
      return 0;
    case WM_ERASEBKGND:
      return 1;  // the canvas covers every pixel
    case WM_NCHITTEST: {
      const LRESULT hit = DefWindowProcW(hwnd, message, wparam, lparam);
      if (hit != HTCLIENT) return hit;
      POINT point{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
      RECT client{};
      ScreenToClient(hwnd, &point);
      GetClientRect(hwnd, &client);
      // The picture drags the window; the bar area below it does not.
      return point.y < MulDiv(360, client.bottom, LauncherCanvas::height) ? HTCAPTION : HTCLIENT;
    }
    case WM_KEYUP:
      if (wparam == VK_ESCAPE) {
        PostMessageW(hwnd, WM_CLOSE, 0, 0);
      } else if (wparam == VK_RETURN && snapshot().phase == UpdateStatus::complete) {
        on_action_(WindowAction::StartGame);
      }
      return 0;
    case WM_TIMER:
      if (wparam != repaint_timer) return 0;
      if (dirty_.exchange(false)) InvalidateRect(hwnd, nullptr, FALSE);
      show_progress_outside(hwnd, snapshot());  // the speed needs steady samples
      return 0;
    case WM_SIZE:
      InvalidateRect(hwnd, nullptr, FALSE);
      return 0;
    case WM_DPICHANGED: {
      // Moved to a monitor of other scaling: keep the place Windows suggests, at the
      // design size for the new DPI.
      const auto* suggested = reinterpret_cast<const RECT*>(lparam);
      const SIZE size = size_for_dpi(HIWORD(wparam));
      SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case launcher_status_message:
      on_status(hwnd);
      return 0;
    case launcher_action_message:
      on_action_(static_cast<WindowAction>(wparam));
      return 0;
    case WM_CLOSE:
      on_action_(WindowAction::Stop);
      DestroyWindow(hwnd);
      return 0;
    case WM_DESTROY:
      KillTimer(hwnd, repaint_timer);
      hwnd_.store(nullptr);
      PostQuitMessage(0);
      return 0;
    case WM_NCDESTROY:
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, 0);
      return DefWindowProcW(hwnd, message, wparam, lparam);
    default:
      return DefWindowProcW(hwnd, message, wparam, lparam);
  }
}

void LauncherWindow::paint(HWND hwnd) {
  const PaintScope paint(hwnd);
  const UpdateStatus status = snapshot();
  RECT client{};
  GetClientRect(hwnd, &client);
  try {
    canvas_->render(paint.dc(), client.right, client.bottom, status);
  } catch (const std::exception& error) {
    log(LogLevel::warn, "Could not paint the launcher window: {}", error.what());
  }
}

void LauncherWindow::on_status(HWND hwnd) {
  dirty_.store(false);
  InvalidateRect(hwnd, nullptr, FALSE);
  UpdateWindow(hwnd);
  const UpdateStatus status = snapshot();
  show_progress_outside(hwnd, status);
  if (status.phase != UpdateStatus::failed || dialog_open_) return;
  dialog_open_ = true;
  const bool game_can_start = !game_can_start_ || game_can_start_();
  const int answer =
      show_failure_dialog(instance_, hwnd, status.category, to_utf16_lenient(status.text), game_can_start);
  dialog_open_ = false;
  on_action_(action_for(answer));
}

void LauncherWindow::show_progress_outside(HWND hwnd, const UpdateStatus& status) {
  if (status.phase == UpdateStatus::downloading) {
    rate_.add(DownloadRate::Clock::now(), status.done);
  } else {
    rate_.clear();
  }
  std::wstring title = launcher_title(status, rate_.bytes_per_second());
  if (title != title_ && SetWindowTextW(hwnd, title.c_str())) title_ = std::move(title);
  taskbar_.show(hwnd, status);
}

}  // namespace kaldren::patcher
