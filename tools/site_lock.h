// One lanternix-publish at a time on a site: every command that writes takes the
// site's lock first, and then clears what an interrupted run left behind.
#pragma once

#include <filesystem>

#include "core/owned_handle.h"

namespace kaldren::patcher::publish {

// Where object files are written before they take their names: outside v2/, so a
// server never offers a half-written file under an object's address.
std::filesystem::path site_work_folder(const std::filesystem::path& site);

class SiteLock {
 public:
  // Creates the site folder if needed and locks it (advisory, released when the
  // process ends however it ends); ToolError when another run holds it. Then removes
  // the work folder's files and any temporary file an interrupted run left under v2/.
  explicit SiteLock(const std::filesystem::path& site);

 private:
  UniqueDescriptor folder_;
};

}  // namespace kaldren::patcher::publish
