// The release keys this build trusts. Kept apart from the rest of the protocol code:
// a program built to trust other keys (the key-rotation tests) compiles its own copy
// with its own generated constants, and the library's copy is then never linked in.
#include <algorithm>

#include <fmt/format.h>

#include "core/error.h"
#include "protocol/release.h"
#include "release_public_key.h"

namespace kaldren::patcher {

const std::vector<ReleaseKey>& trusted_release_keys() {
  // A throwing initialisation is retried on the next call, so a malformed key
  // fails every use with the same configuration error.
  static const std::vector<ReleaseKey> keys = release_keys_from_constant(build::kReleasePublicKey);
  return keys;
}

std::size_t trusted_release_key_threshold() {
  const std::vector<ReleaseKey>& keys = trusted_release_keys();
  std::vector<std::array<std::uint8_t, 65>> distinct;
  for (const ReleaseKey& key : keys) {
    if (std::find(distinct.begin(), distinct.end(), key.point) == distinct.end()) distinct.push_back(key.point);
  }
  const std::size_t threshold = std::max<std::size_t>(build::kReleaseKeyThreshold, 1);
  if (!keys.empty() && threshold > distinct.size()) {
    throw PatchError(ErrorCategory::configuration,
                     fmt::format("This launcher needs signatures by {} release keys but trusts only {}", threshold,
                                 distinct.size()));
  }
  return threshold;
}

}  // namespace kaldren::patcher
