// Shows the launcher window in each phase, then with the failure dialog over it, and
// saves each as it appears on the display: 24-bit BMP files connecting, checking,
// downloading, installing, finished and failure (.bmp) in the folder given. Needs a
// display (tests/ui/run_with_display.sh); check_screenshots.py checks the pictures.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "ui/gdi.h"
#include "ui/launcher_window.h"

namespace {

namespace patcher = kaldren::patcher;
constexpr std::uint64_t kMiB = 1 << 20;

struct Shot {
  const wchar_t* name;
  patcher::UpdateStatus status;
};

patcher::UpdateStatus status_of(std::int32_t phase, std::uint64_t item_done, std::uint64_t item_total,
                                std::uint64_t done, std::uint64_t total) {
  patcher::UpdateStatus status;
  status.phase = phase;
  status.item_done = item_done;
  status.item_total = item_total;
  status.done = done;
  status.total = total;
  return status;
}

// Runs the thread's messages for a while (the window paints, the timer ticks).
void pump(DWORD milliseconds) {
  const ULONGLONG until = GetTickCount64() + milliseconds;
  while (GetTickCount64() < until) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    Sleep(10);
  }
}

// What the display shows inside the window's rectangle, as a bottom-up 24-bit BMP.
bool save_screen_area(HWND window, const std::filesystem::path& file) {
  RECT area{};
  if (!GetWindowRect(window, &area)) return false;
  const int width = area.right - area.left;
  const int height = area.bottom - area.top;
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return false;
  patcher::OwnedMemoryDc copy(CreateCompatibleDC(screen));
  patcher::OwnedBitmap bitmap(CreateCompatibleBitmap(screen, width, height));
  bool copied = false;
  if (copy && bitmap) {
    const auto selection = patcher::select_into(copy.get(), bitmap.get(), "Could not select the screenshot");
    copied = BitBlt(copy.get(), 0, 0, width, height, screen, area.left, area.top, SRCCOPY) != FALSE;
  }
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, height, 1, 24, BI_RGB};
  const std::size_t stride = (static_cast<std::size_t>(width) * 3 + 3) & ~std::size_t{3};
  std::vector<char> pixels(stride * height);
  copied = copied && GetDIBits(screen, bitmap.get(), 0, height, pixels.data(), &info, DIB_RGB_COLORS) == height;
  ReleaseDC(nullptr, screen);
  if (!copied) return false;
  BITMAPFILEHEADER header{};
  header.bfType = 0x4D42;  // "BM"
  header.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  header.bfSize = static_cast<DWORD>(header.bfOffBits + pixels.size());
  std::ofstream out(file, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&header), sizeof(header));
  out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof(info.bmiHeader));
  out.write(pixels.data(), static_cast<std::streamsize>(pixels.size()));
  return static_cast<bool>(out);
}

bool take(const Shot& shot, const std::filesystem::path& folder) {
  patcher::LauncherWindow window(GetModuleHandleW(nullptr), [](patcher::WindowAction) {});
  window.show(SW_SHOWNORMAL);
  window.set_status(shot.status);
  std::atomic<bool> saved{false};
  std::thread dialog_watch;
  if (shot.status.phase == patcher::UpdateStatus::failed) {
    // The dialog runs its own modal loop on this thread: capture it from another one.
    dialog_watch = std::thread([&] {
      HWND dialog = nullptr;
      for (int tries = 0; tries < 200 && dialog == nullptr; ++tries, Sleep(50)) {
        dialog = FindWindowW(L"#32770", L"Lanternix");
      }
      if (dialog == nullptr) return;
      Sleep(500);
      saved = save_screen_area(window.handle(), folder / (std::wstring(shot.name) + L".bmp"));
      PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    });
  }
  pump(600);
  if (dialog_watch.joinable()) {
    dialog_watch.join();
  } else {
    saved = save_screen_area(window.handle(), folder / (std::wstring(shot.name) + L".bmp"));
  }
  window.post_close();
  pump(100);
  return saved;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fputs("usage: window_screenshots FOLDER\n", stderr);
    return 2;
  }
  SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
  const std::filesystem::path folder(argv[1]);
  patcher::UpdateStatus failed = status_of(patcher::UpdateStatus::failed, 0, 0, 0, 0);
  failed.text = "Could not reach the patch server for v2/channels/live/release.json (Win32 error 12029)";
  failed.category = patcher::ErrorCategory::network;
  const Shot shots[] = {
      {L"connecting", status_of(patcher::UpdateStatus::preparing, 0, 0, 0, 0)},
      {L"checking", status_of(patcher::UpdateStatus::checking, 0, 0, 120 * kMiB, 300 * kMiB)},
      {L"downloading", status_of(patcher::UpdateStatus::downloading, 3 * kMiB, 8 * kMiB, 42 * kMiB, 100 * kMiB)},
      {L"installing", status_of(patcher::UpdateStatus::installing, 0, 0, 80 * kMiB, 100 * kMiB)},
      {L"finished", status_of(patcher::UpdateStatus::complete, 0, 0, 100 * kMiB, 100 * kMiB)},
      {L"failure", failed},
  };
  int failures = 0;
  for (const Shot& shot : shots) {
    if (!take(shot, folder)) {
      std::fprintf(stderr, "could not capture %ls\n", shot.name);
      ++failures;
    }
  }
  return failures == 0 ? 0 : 1;
}
