// The log's platform calls on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include "core/log_platform.h"

namespace kaldren::patcher::log_platform {

UtcTime now() noexcept {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  ::gmtime_r(&now.tv_sec, &utc);
  return {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
          static_cast<int>(now.tv_nsec / 1000000)};
}

std::uint64_t thread_id() noexcept { return static_cast<std::uint64_t>(::syscall(SYS_gettid)); }

void LogFileTraits::close(std::intptr_t file) noexcept { ::close(static_cast<int>(file)); }

void make_folder(const std::filesystem::path& folder) noexcept { ::mkdir(folder.c_str(), 0755); }

std::optional<std::uint64_t> file_size(const std::filesystem::path& file) noexcept {
  struct stat info {};
  if (::stat(file.c_str(), &info) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

void move_over(const std::filesystem::path& from, const std::filesystem::path& to) noexcept {
  ::rename(from.c_str(), to.c_str());
}

LogFile open_append(const std::filesystem::path& file) noexcept {
  return LogFile(::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
}

void append(const LogFile& file, std::string_view line) noexcept {
  [[maybe_unused]] const ssize_t written = ::write(static_cast<int>(file.get()), line.data(), line.size());
}

}  // namespace kaldren::patcher::log_platform
