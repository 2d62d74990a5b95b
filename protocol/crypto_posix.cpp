// OpenSSL 3 implementation of protocol/crypto.h for the native tools and tests.
#include "protocol/crypto.h"

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/params.h>

#include <memory>
#include <utility>

#include "core/error.h"

namespace kaldren::patcher {
namespace {

[[noreturn]] void throw_finalized() {
  throw PatchError(ErrorCategory::internal, "SHA-256 state is already finalized");
}

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* object) const noexcept {
    Free(object);
  }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using PkeyContextPtr = std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>>;
using SignaturePtr = std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG_free>>;
using BignumPtr = std::unique_ptr<BIGNUM, Deleter<BN_free>>;
void free_openssl_buffer(unsigned char* buffer) noexcept { OPENSSL_free(buffer); }
using BufferPtr = std::unique_ptr<unsigned char, Deleter<free_openssl_buffer>>;

// Imports an uncompressed P-256 point and rejects points off the curve, as CNG does.
PkeyPtr import_public_point(std::span<const std::uint8_t, 65> point) {
  PkeyContextPtr context(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  if (!context || EVP_PKEY_fromdata_init(context.get()) != 1) return nullptr;
  char group[] = "prime256v1";
  OSSL_PARAM params[] = {
      OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, group, 0),
      OSSL_PARAM_construct_octet_string(OSSL_PKEY_PARAM_PUB_KEY, const_cast<std::uint8_t*>(point.data()),
                                        point.size()),
      OSSL_PARAM_construct_end(),
  };
  EVP_PKEY* raw = nullptr;
  if (EVP_PKEY_fromdata(context.get(), &raw, EVP_PKEY_PUBLIC_KEY, params) != 1) return nullptr;
  PkeyPtr key(raw);
  PkeyContextPtr check(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!check || EVP_PKEY_public_check(check.get()) != 1) return nullptr;
  return key;
}

}  // namespace

void Sha256StateTraits::close(void* state) noexcept { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(state)); }

Sha256::Sha256() : state_(EVP_MD_CTX_new()) {
  if (!state_ || EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(state_.get()), EVP_sha256(), nullptr) != 1) {
    throw PatchError(ErrorCategory::internal, "Could not create SHA-256 state");
  }
}

void Sha256::update(std::span<const std::uint8_t> bytes) {
  if (!state_) throw_finalized();
  if (bytes.empty()) return;
  if (EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(state_.get()), bytes.data(), bytes.size()) != 1) {
    throw PatchError(ErrorCategory::internal, "Could not update SHA-256 state");
  }
}

Sha256Digest Sha256::finish() {
  if (!state_) throw_finalized();
  const OwnedHandle<Sha256StateTraits> context(state_.release());
  Sha256Digest digest{};
  unsigned int length = 0;
  const int result = EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(context.get()), digest.data(), &length);
  if (result != 1 || length != digest.size()) {
    throw PatchError(ErrorCategory::internal, "Could not finalize SHA-256 state");
  }
  return digest;
}

bool verify_p256_signature(std::span<const std::uint8_t, 65> point, const Sha256Digest& digest,
                           std::span<const std::uint8_t, 64> signature) noexcept {
  if (point[0] != 0x04) return false;
  PkeyPtr key = import_public_point(point);
  if (!key) return false;

  // OpenSSL takes the signature DER-encoded.
  BignumPtr r(BN_bin2bn(signature.data(), 32, nullptr));
  BignumPtr s(BN_bin2bn(signature.data() + 32, 32, nullptr));
  SignaturePtr parts(ECDSA_SIG_new());
  if (!r || !s || !parts || ECDSA_SIG_set0(parts.get(), r.get(), s.get()) != 1) return false;
  r.release();  // Owned by `parts` now.
  s.release();
  unsigned char* der = nullptr;
  const int der_length = i2d_ECDSA_SIG(parts.get(), &der);
  if (der_length <= 0) return false;
  const BufferPtr der_owner(der);

  PkeyContextPtr context(EVP_PKEY_CTX_new_from_pkey(nullptr, key.get(), nullptr));
  if (!context || EVP_PKEY_verify_init(context.get()) != 1) return false;
  return EVP_PKEY_verify(context.get(), der, static_cast<std::size_t>(der_length), digest.data(), digest.size()) == 1;
}

}  // namespace kaldren::patcher
