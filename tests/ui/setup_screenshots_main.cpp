// Shows the install page while it checks, after a failed check and ready with the
// download size, then the uninstall confirmation, and lets check_setup_screenshots.py
// capture each from the X server: for each NAME it writes FOLDER\NAME.ready holding
// "DISPLAY LEFT TOP WIDTH HEIGHT" (the dialog on the screen) and waits for
// FOLDER\NAME.taken. Needs a display (tests/ui/run_with_display.sh).
#include <windows.h>

#include <objbase.h>

#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>

#include "core/error.h"
#include "ui/setup_pages.h"

namespace {

namespace patcher = kaldren::patcher;

std::filesystem::path folder;
int failures = 0;

HWND wait_for_window(const wchar_t* title) {
  for (int tries = 0; tries < 400; ++tries, Sleep(25)) {
    const HWND window = FindWindowW(nullptr, title);
    if (window != nullptr && IsWindowVisible(window)) return window;
  }
  return nullptr;
}

// Lets the dialog paint, announces it and waits until the capture was taken.
void capture(HWND dialog, const char* name) {
  Sleep(700);
  RECT area{};
  char display[64] = "";
  GetEnvironmentVariableA("DISPLAY", display, sizeof display);
  if (dialog == nullptr || !GetWindowRect(dialog, &area)) {
    std::fprintf(stderr, "no dialog to capture as %s\n", name);
    ++failures;
    return;
  }
  std::ofstream(folder / (std::string(name) + ".ready.part"))
      << display << ' ' << area.left << ' ' << area.top << ' ' << area.right - area.left << ' '
      << area.bottom - area.top << '\n';
  std::filesystem::rename(folder / (std::string(name) + ".ready.part"), folder / (std::string(name) + ".ready"));
  for (int tries = 0; tries < 1200 && !std::filesystem::exists(folder / (std::string(name) + ".taken")); ++tries) {
    Sleep(50);
  }
}

// Answers each read when told: the first fails, the next one succeeds.
class Reader {
 public:
  patcher::Release read(const std::stop_token& stop) {
    std::unique_lock lock(mutex_);
    if (!changed_.wait(lock, stop, [&] { return answers_ > 0; })) {
      throw patcher::PatchError(patcher::ErrorCategory::cancelled, "The launcher was closed");
    }
    --answers_;
    if (reads_++ == 0) {
      throw patcher::PatchError(patcher::ErrorCategory::network,
                                "Could not connect to patch.kaldren.example (Win32 error 12029)");
    }
    patcher::Release release;
    release.client.version = {1, 4, 2};
    release.client.download_size = 1932735283;  // 1.8 GB
    release.client.install_size = 4617089843;   // 4.3 GB
    return release;
  }
  void answer() {
    const std::lock_guard lock(mutex_);
    ++answers_;
    changed_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable_any changed_;
  int answers_ = 0;
  int reads_ = 0;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: setup_screenshots FOLDER\n", stderr);
    return 2;
  }
  folder = argv[1];
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  Reader reader;
  std::thread player([&] {
    const HWND page = wait_for_window(L"Kaldren Morvale Setup");
    capture(page, "checking");
    reader.answer();
    Sleep(400);  // the page's timer shows the outcome
    capture(page, "failure");
    PostMessageW(page, TDM_CLICK_BUTTON, 100, 0);  // Install: checks again
    reader.answer();
    Sleep(400);
    capture(page, "ready");
    PostMessageW(page, WM_CLOSE, 0, 0);
    const HWND question = wait_for_window(L"Kaldren Morvale");
    capture(question, "uninstall");
    PostMessageW(question, TDM_CLICK_BUTTON, IDNO, 0);
  });
  patcher::show_install_page(GetModuleHandleW(nullptr), L"C:\\users\\player\\AppData\\Local\\Programs\\Kaldren Morvale",
                             [&](const std::stop_token& stop) { return reader.read(stop); });
  patcher::confirm_uninstall(L"C:\\users\\player\\AppData\\Local\\Programs\\Kaldren Morvale");
  player.join();
  CoUninitialize();
  return failures == 0 ? 0 : 1;
}
