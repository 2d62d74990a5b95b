#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <memory>
#include <stdexcept>

#include "support/release_signing.h"

namespace kaldren::patcher::test_support {
namespace {

template <auto Free>
struct Deleter {
  template <typename T>
  void operator()(T* object) const noexcept {
    Free(object);
  }
};

void check(bool ok) {
  if (!ok) throw std::runtime_error("could not sign with the test key");
}

}  // namespace

std::string sign_digest(const TestKeyPair& key, const Sha256Digest& digest) {
  std::unique_ptr<BIGNUM, Deleter<BN_free>> scalar(BN_bin2bn(key.scalar.data(), 32, nullptr));
  std::unique_ptr<OSSL_PARAM_BLD, Deleter<OSSL_PARAM_BLD_free>> build(OSSL_PARAM_BLD_new());
  check(scalar && build);
  check(OSSL_PARAM_BLD_push_utf8_string(build.get(), OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0) == 1);
  check(OSSL_PARAM_BLD_push_octet_string(build.get(), OSSL_PKEY_PARAM_PUB_KEY, key.point.data(), 65) == 1);
  check(OSSL_PARAM_BLD_push_BN(build.get(), OSSL_PKEY_PARAM_PRIV_KEY, scalar.get()) == 1);
  std::unique_ptr<OSSL_PARAM, Deleter<OSSL_PARAM_free>> params(OSSL_PARAM_BLD_to_param(build.get()));
  std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>> import(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr));
  check(params && import && EVP_PKEY_fromdata_init(import.get()) == 1);
  EVP_PKEY* raw_key = nullptr;
  check(EVP_PKEY_fromdata(import.get(), &raw_key, EVP_PKEY_KEYPAIR, params.get()) == 1);
  std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>> pkey(raw_key);

  std::unique_ptr<EVP_PKEY_CTX, Deleter<EVP_PKEY_CTX_free>> sign(EVP_PKEY_CTX_new_from_pkey(nullptr, pkey.get(), nullptr));
  check(sign && EVP_PKEY_sign_init(sign.get()) == 1);
  unsigned char der[80];
  std::size_t der_length = sizeof(der);
  check(EVP_PKEY_sign(sign.get(), der, &der_length, digest.data(), digest.size()) == 1);
  const unsigned char* cursor = der;
  std::unique_ptr<ECDSA_SIG, Deleter<ECDSA_SIG_free>> parts(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der_length)));
  check(parts != nullptr);
  std::string signature(64, '\0');
  auto* out = reinterpret_cast<unsigned char*>(signature.data());
  check(BN_bn2binpad(ECDSA_SIG_get0_r(parts.get()), out, 32) == 32);
  check(BN_bn2binpad(ECDSA_SIG_get0_s(parts.get()), out + 32, 32) == 32);
  return signature;
}

}  // namespace kaldren::patcher::test_support
