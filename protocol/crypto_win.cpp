// CNG implementation of protocol/crypto.h, using the algorithm pseudo-handles so
// that no algorithm provider has to be opened or kept.
#include "protocol/crypto.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "core/error.h"
#include "core/owned_handle.h"

// mingw-w64's bcrypt.h predates the pseudo-handles (Windows 10); values from the Windows SDK.
#ifndef BCRYPT_SHA256_ALG_HANDLE
#define BCRYPT_SHA256_ALG_HANDLE ((BCRYPT_ALG_HANDLE)0x00000041)
#endif
#ifndef BCRYPT_ECDSA_P256_ALG_HANDLE
#define BCRYPT_ECDSA_P256_ALG_HANDLE ((BCRYPT_ALG_HANDLE)0x000002e1)
#endif

namespace kaldren::patcher {
namespace {

bool succeeded(NTSTATUS status) { return status >= 0; }

[[noreturn]] void throw_finalized() {
  throw PatchError(ErrorCategory::internal, "SHA-256 state is already finalized");
}

using KeyHandle = OwnedHandle<ClosedBy<BCRYPT_KEY_HANDLE, BCryptDestroyKey>>;

}  // namespace

void Sha256StateTraits::close(void* state) noexcept { BCryptDestroyHash(static_cast<BCRYPT_HASH_HANDLE>(state)); }

Sha256::Sha256() {
  if (!succeeded(BCryptCreateHash(BCRYPT_SHA256_ALG_HANDLE, state_.out(), nullptr, 0, nullptr, 0, 0))) {
    throw PatchError(ErrorCategory::internal, "Could not create SHA-256 state");
  }
}

void Sha256::update(std::span<const std::uint8_t> bytes) {
  if (!state_) throw_finalized();
  auto hash = static_cast<BCRYPT_HASH_HANDLE>(state_.get());
  // BCryptHashData takes a 32-bit length.
  constexpr std::size_t piece_limit = std::numeric_limits<ULONG>::max();
  while (!bytes.empty()) {
    const std::size_t piece = std::min(bytes.size(), piece_limit);
    if (!succeeded(BCryptHashData(hash, const_cast<PUCHAR>(bytes.data()), static_cast<ULONG>(piece), 0))) {
      throw PatchError(ErrorCategory::internal, "Could not update SHA-256 state");
    }
    bytes = bytes.subspan(piece);
  }
}

Sha256Digest Sha256::finish() {
  if (!state_) throw_finalized();
  const OwnedHandle<Sha256StateTraits> hash(state_.release());
  Sha256Digest digest{};
  const NTSTATUS status = BCryptFinishHash(hash.get(), digest.data(), static_cast<ULONG>(digest.size()), 0);
  if (!succeeded(status)) throw PatchError(ErrorCategory::internal, "Could not finalize SHA-256 state");
  return digest;
}

bool verify_p256_signature(std::span<const std::uint8_t, 65> point, const Sha256Digest& digest,
                           std::span<const std::uint8_t, 64> signature) noexcept {
  if (point[0] != 0x04) return false;
  // BCRYPT_ECCKEY_BLOB header (magic, key length) followed by X and Y.
  UCHAR blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
  const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
  std::memcpy(blob, &header, sizeof(header));
  std::memcpy(blob + sizeof(header), point.data() + 1, 64);

  KeyHandle key;
  if (!succeeded(BCryptImportKeyPair(BCRYPT_ECDSA_P256_ALG_HANDLE, nullptr, BCRYPT_ECCPUBLIC_BLOB, key.out(),
                                     blob, sizeof(blob), 0))) {
    return false;
  }
  Sha256Digest hash = digest;
  std::array<std::uint8_t, 64> bytes;
  std::copy(signature.begin(), signature.end(), bytes.begin());
  return succeeded(BCryptVerifySignature(key.get(), nullptr, hash.data(), static_cast<ULONG>(hash.size()),
                                         bytes.data(), static_cast<ULONG>(bytes.size()), 0));
}

}  // namespace kaldren::patcher
