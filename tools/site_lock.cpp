#include "tools/site_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include <fmt/format.h>

#include "tools/signing_key.h"

namespace kaldren::patcher::publish {
namespace {

// The names write_file_atomically and older object writers gave their temporary files.
bool is_temporary_name(const std::string& name) {
  return name.starts_with(".") && name.find(".tmp-") != std::string::npos;
}

void remove_leftovers(const std::filesystem::path& site) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(site_work_folder(site), error)) {
    std::filesystem::remove_all(entry.path(), error);
  }
  const auto v2 = site / "v2";
  if (!std::filesystem::is_directory(v2, error)) return;
  for (auto it = std::filesystem::recursive_directory_iterator(v2, error);
       !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_regular_file(error) && is_temporary_name(it->path().filename().string())) {
      std::filesystem::remove(it->path(), error);
    }
  }
}

}  // namespace

std::filesystem::path site_work_folder(const std::filesystem::path& site) { return site / ".lanternix-work"; }

SiteLock::SiteLock(const std::filesystem::path& site) {
  std::error_code error;
  std::filesystem::create_directories(site, error);
  if (error) throw ToolError(fmt::format("Could not create the site folder {}: {}", site.string(), error.message()));
  folder_.reset(::open(site.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder_.get() < 0) throw ToolError(fmt::format("Could not open {}: {}", site.string(), std::strerror(errno)));
  // flock on the folder itself: no lock file to upload, and the lock ends with the process.
  while (::flock(folder_.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno == EINTR) continue;
    if (errno == EWOULDBLOCK) {
      throw ToolError(fmt::format("Another lanternix-publish is working on {}; run this again once it has finished",
                                  site.string()));
    }
    throw ToolError(fmt::format("Could not lock {}: {}", site.string(), std::strerror(errno)));
  }
  remove_leftovers(site);
}

}  // namespace kaldren::patcher::publish
