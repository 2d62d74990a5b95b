// The process-wide log on POSIX systems: one append-only descriptor behind one mutex.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <mutex>
#include <utility>

#include "core/log.h"

namespace kaldren::patcher {
namespace {

constexpr std::uint64_t kRotateAboveBytes = 4194304;

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) {
      close();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { close(); }

  bool valid() const noexcept { return fd_ >= 0; }
  int get() const noexcept { return fd_; }
  void close() noexcept {
    if (valid()) ::close(std::exchange(fd_, -1));
  }

 private:
  int fd_ = -1;
};

struct Logger {
  std::mutex mutex;
  std::filesystem::path path;
  FileDescriptor file;
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
    ::mkdir(folder.c_str(), 0755);
  }
}

// Keeps one older generation: a file above the limit replaces "<name>.1".
void rotate_if_large(const std::filesystem::path& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) return;
  if (static_cast<std::uint64_t>(info.st_size) <= kRotateAboveBytes) return;
  const std::string older = path.native() + ".1";
  ::rename(path.c_str(), older.c_str());
}

std::uint64_t current_thread_id() noexcept {
  return static_cast<std::uint64_t>(::syscall(SYS_gettid));
}

}  // namespace

void open_log(const std::filesystem::path& path) noexcept {
  try {
    create_parent_folders(path);
    Logger& state = logger();
    std::lock_guard lock(state.mutex);
    state.path = path;
    state.file.close();
    rotate_if_large(state.path);
    state.file =
        FileDescriptor(::open(state.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  } catch (...) {
    // Logging never fails a run; without a file, lines are dropped.
  }
}

void log(LogLevel level, std::string_view message) noexcept {
  try {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    tm utc{};
    ::gmtime_r(&now.tv_sec, &utc);
    const std::string line = format_log_line(
        utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
        static_cast<int>(now.tv_nsec / 1000000), level, current_thread_id(), message);
    Logger& state = logger();
    std::lock_guard lock(state.mutex);
    if (!state.file.valid()) return;
    [[maybe_unused]] const ssize_t written = ::write(state.file.get(), line.data(), line.size());
  } catch (...) {
    // Logging never fails a run.
  }
}

}  // namespace kaldren::patcher
