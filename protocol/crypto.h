// SHA-256 and ECDSA P-256 signature checks through the platform's cryptography
// (CNG on Windows, OpenSSL elsewhere). Failures are PatchError of category internal.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "core/owned_handle.h"

namespace kaldren::patcher {

// The platform's hash object (a CNG hash, or OpenSSL's digest context).
struct Sha256StateTraits {
  using value_type = void*;
  static void* invalid() noexcept { return nullptr; }
  static void close(void* state) noexcept;
};

using Sha256Digest = std::array<std::uint8_t, 32>;

// Incremental SHA-256 for data that arrives in pieces (files, downloads).
// update() or finish() after finish() (or on a moved-from object) throws
// "SHA-256 state is already finalized". Move-only; one thread at a time.
class Sha256 {
 public:
  Sha256();  // "Could not create SHA-256 state"

  void update(std::span<const std::uint8_t> bytes);  // "Could not update SHA-256 state"
  void update(std::string_view bytes) {
    update(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  }
  Sha256Digest finish();  // "Could not finalize SHA-256 state"

 private:
  OwnedHandle<Sha256StateTraits> state_;  // none once finished
};

Sha256Digest sha256(std::span<const std::uint8_t> bytes);
Sha256Digest sha256(std::string_view bytes);

// True when `signature` (r then s, 32 bytes each, big-endian) is a valid ECDSA
// P-256 signature of `digest` under `point` (0x04, X, Y). A point that cannot be
// imported gives false. Nothing is cached between calls. Never throws.
bool verify_p256_signature(std::span<const std::uint8_t, 65> point, const Sha256Digest& digest,
                           std::span<const std::uint8_t, 64> signature) noexcept;

}  // namespace kaldren::patcher
