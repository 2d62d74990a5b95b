// The signed release document. The first byte chooses what the rest is: a whole
// document checked against the TEST key, or a payload the target signs with that key,
// so that every payload reaches the payload parser. A payload that parses writes back
// to one that parses equal.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"
#include "fuzz_check.h"
#include "protocol/release.h"
#include "support/release_signing.h"

namespace kaldren::patcher {
namespace {

ReleasePayload payload_of(const Release& release) {
  ReleasePayload payload;
  payload.channel = release.channel;
  payload.sequence = release.sequence;
  payload.published_at = release.published_at;
  payload.client_version = version_text(release.client.version);
  payload.executable = release.client.executable;
  payload.file_count = release.client.file_count;
  payload.install_size = release.client.install_size;
  payload.download_size = release.client.download_size;
  payload.manifest = release.client.manifest;
  payload.launcher_version = version_text(release.launcher.version);
  payload.launcher = release.launcher.file;
  return payload;
}

bool same_release(const Release& a, const Release& b) {
  return a.channel == b.channel && a.sequence == b.sequence && a.published_at == b.published_at &&
         a.client.version == b.client.version && a.client.executable == b.client.executable &&
         a.client.file_count == b.client.file_count && a.client.install_size == b.client.install_size &&
         a.client.download_size == b.client.download_size && a.client.manifest == b.client.manifest &&
         a.launcher.version == b.launcher.version && a.launcher.file == b.launcher.file;
}

void check_validation(const Release& release, std::string_view input) {
  try {
    validate_release(release, release.channel);
  } catch (const PatchError& error) {
    FUZZ_CHECK(error.category() == ErrorCategory::security, input);
  }
}

void fuzz_document(std::string_view document) {
  try {
    const Release release = verify_release(document, test_support::test_keys());
    check_validation(release, document);
  } catch (const PatchError& error) {
    FUZZ_CHECK(error.category() == ErrorCategory::server || error.category() == ErrorCategory::security, document);
  }
}

void fuzz_payload(std::string_view payload) {
  const std::string document = test_support::signed_release(payload);
  Release release;
  try {
    release = verify_release(document, test_support::test_keys());
  } catch (const PatchError& error) {
    // Signed by a trusted key, so only the payload itself can be at fault.
    FUZZ_CHECK(error.category() == ErrorCategory::server, payload);
    return;
  }
  check_validation(release, payload);
  const std::string written = write_release_payload(payload_of(release));
  const Release again = verify_release(test_support::signed_release(written), test_support::test_keys());
  FUZZ_CHECK(same_release(release, again), payload);
}

}  // namespace
}  // namespace kaldren::patcher

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  return kaldren::patcher::fuzz::either(data, size, kaldren::patcher::fuzz_payload, kaldren::patcher::fuzz_document);
}
