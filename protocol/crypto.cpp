// One-shot hashing over the platform's incremental hasher.
#include "protocol/crypto.h"

namespace kaldren::patcher {

Sha256Digest sha256(std::span<const std::uint8_t> bytes) {
  Sha256 hash;
  hash.update(bytes);
  return hash.finish();
}

Sha256Digest sha256(std::string_view bytes) {
  Sha256 hash;
  hash.update(bytes);
  return hash.finish();
}

}  // namespace kaldren::patcher
