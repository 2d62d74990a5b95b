#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "protocol/release.h"
#include "support/failure_of.h"
#include "support/release_signing.h"

namespace kaldren::patcher {
namespace {

using test::fails_with;

Release valid_release() {
  Release release;
  release.channel = "live";
  release.sequence = 7;
  release.client.version = {1, 4, 2};
  release.client.executable = "bin/Kaldren.exe";
  release.client.manifest = {Sha256Digest{1}, 755, Sha256Digest{1}, 755, false};
  release.launcher.version = {1, 2, 0};
  release.launcher.file = {Sha256Digest{2}, 5000000, Sha256Digest{3}, 2000000, true};
  return release;
}

struct ValidationCase {
  const char* name;
  std::function<void(Release&)> change;
  std::string message;  // Empty: valid.
};

const ValidationCase validation_cases[] = {
    {"valid", [](Release&) {}, ""},
    {"channel of another name", [](Release& r) { r.channel = "beta"; },
     "The patch server sent the release of channel \"beta\" instead of \"live\""},
    {"channel in other case", [](Release& r) { r.channel = "Live"; },
     "The patch server sent the release of channel \"Live\" instead of \"live\""},
    {"channel checked before sequence", [](Release& r) { r.channel = "beta", r.sequence = 0; },
     "The patch server sent the release of channel \"beta\" instead of \"live\""},
    {"sequence 0", [](Release& r) { r.sequence = 0; }, "The release has no sequence number"},
    {"unsafe executable", [](Release& r) { r.client.executable = "../Kaldren.exe"; },
     "The patch names an unsafe file path: \"../Kaldren.exe\""},
    {"executable in the launcher's folder", [](Release& r) { r.client.executable = "Lanternix/x.exe"; },
     "The patch names an unsafe file path: \"Lanternix/x.exe\""},
    {"manifest stored size differs without compression", [](Release& r) { r.client.manifest.stored_size = 754; },
     "The client manifest declares different stored and content bytes without compression"},
    {"manifest stored digest differs without compression",
     [](Release& r) { r.client.manifest.stored_sha256[31] = 9; },
     "The client manifest declares different stored and content bytes without compression"},
    {"manifest over 16 GiB", [](Release& r) { r.client.manifest.compressed = true, r.client.manifest.stored_size = 17179869185; },
     "The client manifest is larger than the patch protocol allows"},
    {"manifest of exactly 64 MiB", [](Release& r) { r.client.manifest.size = r.client.manifest.stored_size = 67108864; },
     ""},
    {"manifest one byte over 64 MiB",
     [](Release& r) { r.client.manifest.size = r.client.manifest.stored_size = 67108865; },
     "The client manifest is larger than the patch protocol allows"},
    {"compressed manifest with other digests and sizes",
     [](Release& r) { r.client.manifest.compressed = true, r.client.manifest.stored_size = 1; }, ""},
    {"launcher stored size differs without compression", [](Release& r) { r.launcher.file.compressed = false; },
     "The launcher declares different stored and content bytes without compression"},
    {"launcher stored object over 16 GiB", [](Release& r) { r.launcher.file.stored_size = 17179869185; },
     "The launcher is larger than the patch protocol allows"},
    {"launcher of exactly 256 MiB", [](Release& r) { r.launcher.file.size = 268435456; }, ""},
    {"launcher one byte over 256 MiB", [](Release& r) { r.launcher.file.size = 268435457; },
     "The launcher is larger than the patch protocol allows"},
    {"launcher version 65535.65535.65535", [](Release& r) { r.launcher.version = {65535, 65535, 65535}; }, ""},
    {"launcher version 1.70000.0", [](Release& r) { r.launcher.version = {1, 70000, 0}; },
     "The launcher version does not fit a Windows version resource"},
    {"launcher version 65536.0.0", [](Release& r) { r.launcher.version = {65536, 0, 0}; },
     "The launcher version does not fit a Windows version resource"},
    {"launcher version 0.0.65536", [](Release& r) { r.launcher.version = {0, 0, 65536}; },
     "The launcher version does not fit a Windows version resource"},
    {"client version not limited", [](Release& r) { r.client.version = {70000, 0, 0}; }, ""},
};

TEST(ValidateRelease, RefusesReleasesTheLauncherMustNotUse) {
  for (const ValidationCase& c : validation_cases) {
    SCOPED_TRACE(c.name);
    Release release = valid_release();
    c.change(release);
    if (c.message.empty()) {
      EXPECT_NO_THROW(validate_release(release, "live"));
    } else {
      EXPECT_TRUE(fails_with([&] { validate_release(release, "live"); }, ErrorCategory::security, c.message));
    }
  }
}

}  // namespace
}  // namespace kaldren::patcher
