#include <fmt/format.h>

#include "core/error.h"
#include "protocol/path_rule.h"
#include "protocol/release.h"

namespace kaldren::patcher {
namespace {

[[noreturn]] void refuse(const std::string& message) { throw PatchError(ErrorCategory::security, message); }

}  // namespace

void validate_release(const Release& release, std::string_view requested_channel) {
  if (release.channel != requested_channel) {
    refuse(fmt::format("The patch server sent the release of channel \"{}\" instead of \"{}\"", release.channel,
                       requested_channel));
  }
  if (release.sequence == 0) refuse("The release has no sequence number");
  require_safe_path(release.client.executable);
  check_object_ref(release.client.manifest, "The client manifest");
  check_object_ref(release.launcher.file, "The launcher");
  if (release.client.manifest.size > kMaxManifestDocumentBytes) {
    refuse("The client manifest is larger than the patch protocol allows");
  }
  if (release.launcher.file.size > kMaxLauncherBytes) refuse("The launcher is larger than the patch protocol allows");
  const Version& version = release.launcher.version;
  if (version.major > kMaxLauncherVersionPart || version.minor > kMaxLauncherVersionPart ||
      version.patch > kMaxLauncherVersionPart) {
    refuse("The launcher version does not fit a Windows version resource");
  }
}

}  // namespace kaldren::patcher
