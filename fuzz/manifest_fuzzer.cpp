// The client manifest: parsing refuses with the server category only, validation
// with the security category only, and a parsed manifest writes back to one that
// parses equal.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"
#include "fuzz_check.h"
#include "protocol/manifest.h"

namespace kaldren::patcher {
namespace {

bool same_files(const ClientManifest& a, const ClientManifest& b) {
  if (a.version != b.version || a.files.size() != b.files.size()) return false;
  for (std::size_t i = 0; i < a.files.size(); ++i) {
    if (a.files[i].path != b.files[i].path || !(a.files[i].object == b.files[i].object)) return false;
  }
  return true;
}

}  // namespace
}  // namespace kaldren::patcher

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kaldren::patcher;
  const std::string_view document(reinterpret_cast<const char*>(data), size);
  ClientManifest manifest;
  try {
    manifest = parse_client_manifest(document);
  } catch (const PatchError& error) {
    FUZZ_CHECK(error.category() == ErrorCategory::server, document);
    return 0;
  }

  // A release that fits the manifest as far as it can: its version, and the first file
  // as the game executable.
  Release release;
  release.client.version = manifest.version;
  release.client.executable = manifest.files.empty() ? "bin/Kaldren.exe" : manifest.files.front().path;
  try {
    validate_client_manifest(manifest, release);
  } catch (const PatchError& error) {
    FUZZ_CHECK(error.category() == ErrorCategory::security, document);
  }

  const std::string written = write_client_manifest(version_text(manifest.version), manifest.files);
  const ClientManifest again = parse_client_manifest(written);
  FUZZ_CHECK(same_files(manifest, again), document);
  for (const ManifestFile& file : again.files) {
    FUZZ_CHECK(object_path(file.object).size() == 78, file.path);
  }
  return 0;
}
