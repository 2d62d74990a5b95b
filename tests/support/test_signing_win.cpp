#include <windows.h>

#include <bcrypt.h>

#include <cstring>
#include <stdexcept>

#include "support/release_signing.h"

#ifndef BCRYPT_ECDSA_P256_ALG_HANDLE
#define BCRYPT_ECDSA_P256_ALG_HANDLE ((BCRYPT_ALG_HANDLE)0x000002e1)
#endif

namespace kaldren::patcher::test_support {

std::string sign_digest(const TestKeyPair& key, const Sha256Digest& digest) {
  // BCRYPT_ECCKEY_BLOB, X, Y, d.
  UCHAR blob[sizeof(BCRYPT_ECCKEY_BLOB) + 96];
  const BCRYPT_ECCKEY_BLOB header{BCRYPT_ECDSA_PRIVATE_P256_MAGIC, 32};
  std::memcpy(blob, &header, sizeof(header));
  std::memcpy(blob + sizeof(header), key.point.data() + 1, 64);
  std::memcpy(blob + sizeof(header) + 64, key.scalar.data(), 32);
  BCRYPT_KEY_HANDLE handle = nullptr;
  if (BCryptImportKeyPair(BCRYPT_ECDSA_P256_ALG_HANDLE, nullptr, BCRYPT_ECCPRIVATE_BLOB, &handle, blob, sizeof(blob),
                          0) < 0) {
    throw std::runtime_error("could not import the test key");
  }
  Sha256Digest hash = digest;
  std::string signature(64, '\0');
  ULONG written = 0;
  const NTSTATUS status = BCryptSignHash(handle, nullptr, hash.data(), static_cast<ULONG>(hash.size()),
                                         reinterpret_cast<PUCHAR>(signature.data()), 64, &written, 0);
  BCryptDestroyKey(handle);
  if (status < 0 || written != 64) throw std::runtime_error("could not sign with the test key");
  return signature;
}

}  // namespace kaldren::patcher::test_support
