// The process-wide log on Windows: one append-only file handle behind one mutex.
#include <windows.h>

#include <mutex>
#include <utility>

#include "core/log.h"
#include "core/win_handle.h"

namespace kaldren::patcher {
namespace {

constexpr std::uint64_t kRotateAboveBytes = 4194304;

struct Logger {
  std::mutex mutex;
  std::wstring path;
  UniqueHandle file;
};

Logger& logger() {
  static Logger instance;
  return instance;
}

// Each missing folder above the file, from the top down; existing ones and
// failures are left for the open to report (by failing).
void create_parent_folders(const std::filesystem::path& file) {
  const std::filesystem::path parent = file.parent_path();
  std::filesystem::path folder = parent.root_path();
  for (const std::filesystem::path& part : parent.relative_path()) {
    folder /= part;
    CreateDirectoryW(folder.c_str(), nullptr);
  }
}

// Keeps one older generation: a file above the limit replaces "<name>.1".
void rotate_if_large(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return;
  const std::uint64_t size =
      (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  if (size <= kRotateAboveBytes) return;
  const std::wstring older = path + L".1";
  MoveFileExW(path.c_str(), older.c_str(), MOVEFILE_REPLACE_EXISTING);
}

}  // namespace

void open_log(const std::filesystem::path& path) noexcept {
  try {
    create_parent_folders(path);
    Logger& state = logger();
    std::lock_guard lock(state.mutex);
    state.path = path.native();
    state.file.reset();
    rotate_if_large(state.path);
    state.file.reset(CreateFileW(state.path.c_str(), FILE_APPEND_DATA,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  } catch (...) {
    // Logging never fails a run; without a file, lines are dropped.
  }
}

void log(LogLevel level, std::string_view message) noexcept {
  try {
    SYSTEMTIME now{};
    GetSystemTime(&now);
    const std::string line =
        format_log_line(now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                        now.wMilliseconds, level, GetCurrentThreadId(), message);
    Logger& state = logger();
    std::lock_guard lock(state.mutex);
    if (!state.file.valid()) return;
    DWORD written = 0;
    WriteFile(state.file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
  } catch (...) {
    // Logging never fails a run.
  }
}

}  // namespace kaldren::patcher
