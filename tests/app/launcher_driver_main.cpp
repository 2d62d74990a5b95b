// Plays the player in the launcher's end-to-end tests, from outside its process:
//   launcher_driver wait-window <milliseconds>        exit 0 once the launcher's window shows
//   launcher_driver message <milliseconds>            waits for a "Lanternix" message box,
//                                                     prints its text, presses OK
//   launcher_driver wait-gone <milliseconds>          exit 0 once no launcher window is left
//   launcher_driver close-window                      posts WM_CLOSE to it (exit 1: none)
//   launcher_driver answer <button id> <milliseconds> waits for the failure dialog, prints
//                                                     its two texts, presses the button
//   launcher_driver press <title> <button id> <ms>    waits for a task dialog of that title
//                                                     whose button is enabled, prints its
//                                                     texts one per line, presses the button
//   launcher_driver texts <title> <button id> <ms>    the same without pressing: the test
//                                                     then uses the keyboard (xdotool)
//   launcher_driver focus <title> <ms>                prints the id and text of the control
//                                                     with the keyboard focus in that dialog
// Exit 1 when the window or dialog did not show in time.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "core/text.h"

namespace {

constexpr const wchar_t* kWindowClass = L"KaldrenMorvale.Lanternix.Window";
constexpr int kFailureTextId = 1016;
constexpr int kCategoryTextId = 1013;

// Polls for a top-level window; the launcher is another process, so no hook can tell.
HWND wait_for(const wchar_t* window_class, const wchar_t* title, DWORD milliseconds) {
  const ULONGLONG until = GetTickCount64() + milliseconds;
  for (;;) {
    HWND window = FindWindowW(window_class, title);
    if (window != nullptr && IsWindowVisible(window)) return window;
    if (GetTickCount64() >= until) return nullptr;
    Sleep(50);
  }
}

std::string item_text(HWND dialog, int id) {
  wchar_t text[1024] = L"";
  GetDlgItemTextW(dialog, id, text, 1024);
  return kaldren::patcher::to_utf8_lenient(text);
}

BOOL CALLBACK print_text(HWND child, LPARAM) {
  wchar_t text[2048] = L"";
  if (IsWindowVisible(child) && GetWindowTextW(child, text, 2048) > 0) {
    std::printf("%s\n", kaldren::patcher::to_utf8_lenient(text).c_str());
  }
  return TRUE;
}

// A task dialog's buttons are enabled by its own timer; waits until this one is, then
// prints the dialog's texts. Null when it did not show in time.
HWND wait_enabled(const wchar_t* title, int button, DWORD milliseconds) {
  const ULONGLONG until = GetTickCount64() + milliseconds;
  for (;;) {
    HWND dialog = FindWindowW(L"#32770", title);
    HWND control = dialog != nullptr ? GetDlgItem(dialog, button) : nullptr;
    if (dialog != nullptr && IsWindowVisible(dialog) && (control == nullptr || IsWindowEnabled(control))) {
      Sleep(200);  // the texts of the same timer tick
      EnumChildWindows(dialog, print_text, 0);
      std::fflush(stdout);
      return dialog;
    }
    if (GetTickCount64() >= until) return nullptr;
    Sleep(50);
  }
}

int press(const wchar_t* title, int button, DWORD milliseconds) {
  const HWND dialog = wait_enabled(title, button, milliseconds);
  if (dialog == nullptr) return 1;
  SendMessageW(dialog, TDM_CLICK_BUTTON, static_cast<WPARAM>(button), 0);
  return 0;
}

// The focus of another process's dialog: its thread's input state tells.
int print_focus(const wchar_t* title, DWORD milliseconds) {
  const HWND dialog = wait_for(L"#32770", title, milliseconds);
  if (dialog == nullptr) return 1;
  GUITHREADINFO info{sizeof(info)};
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info)) return 1;
  wchar_t text[256] = L"";
  if (info.hwndFocus != nullptr) GetWindowTextW(info.hwndFocus, text, 256);
  std::printf("%d %s\n", info.hwndFocus != nullptr ? GetDlgCtrlID(info.hwndFocus) : 0,
              kaldren::patcher::to_utf8_lenient(text).c_str());
  std::fflush(stdout);
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  const std::wstring command = argc > 1 ? argv[1] : L"";
  if (command == L"wait-window" && argc == 3) {
    return wait_for(kWindowClass, nullptr, std::wcstoul(argv[2], nullptr, 10)) ? 0 : 1;
  }
  if (command == L"message" && argc == 3) {
    constexpr int kMessageTextId = 0xFFFF;  // the static text of every message box
    HWND box = wait_for(L"#32770", L"Lanternix", std::wcstoul(argv[2], nullptr, 10));
    if (box == nullptr) return 1;
    std::printf("%s\n", item_text(box, kMessageTextId).c_str());
    std::fflush(stdout);
    return PostMessageW(box, WM_COMMAND, IDOK, 0) ? 0 : 1;
  }
  if (command == L"wait-gone" && argc == 3) {
    const ULONGLONG until = GetTickCount64() + std::wcstoul(argv[2], nullptr, 10);
    while (FindWindowW(kWindowClass, nullptr) != nullptr) {
      if (GetTickCount64() >= until) return 1;
      Sleep(50);
    }
    return 0;
  }
  if (command == L"close-window" && argc == 2) {
    HWND window = FindWindowW(kWindowClass, nullptr);
    return window != nullptr && PostMessageW(window, WM_CLOSE, 0, 0) ? 0 : 1;
  }
  if (command == L"answer" && argc == 4) {
    HWND dialog = wait_for(L"#32770", L"Lanternix", std::wcstoul(argv[3], nullptr, 10));
    if (dialog == nullptr) return 1;
    Sleep(100);  // let the dialog finish setting its texts
    std::printf("%s\n%s\n", item_text(dialog, kFailureTextId).c_str(), item_text(dialog, kCategoryTextId).c_str());
    std::fflush(stdout);
    const int button = static_cast<int>(std::wcstol(argv[2], nullptr, 10));
    return PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), 0) ? 0 : 1;
  }
  if (command == L"texts" && argc == 5) {
    return wait_enabled(argv[2], static_cast<int>(std::wcstol(argv[3], nullptr, 10)), std::wcstoul(argv[4], nullptr, 10))
               ? 0
               : 1;
  }
  if (command == L"focus" && argc == 4) return print_focus(argv[2], std::wcstoul(argv[3], nullptr, 10));
  if (command == L"press" && argc == 5) {
    return press(argv[2], static_cast<int>(std::wcstol(argv[3], nullptr, 10)), std::wcstoul(argv[4], nullptr, 10));
  }
  std::fputs("usage: launcher_driver wait-window MS | wait-gone MS | close-window | answer BUTTON MS | message MS"
             " | press TITLE BUTTON MS | texts TITLE BUTTON MS | focus TITLE MS\n", stderr);
  return 2;
}
