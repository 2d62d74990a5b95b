#include "tools/signing_key.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <vector>

#include <fmt/format.h>
#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/ecdsa.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/sha.h>

#include "protocol/encoding.h"
#include "protocol/json.h"
#include "protocol/release.h"

namespace kaldren::patcher::publish {
namespace {

std::string openssl_reason() {
  unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return "unknown OpenSSL error";
  char buffer[256];
  ERR_error_string_n(code, buffer, sizeof buffer);
  return buffer;
}

std::string hex(const std::uint8_t* bytes, std::size_t count) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    text.push_back(digits[bytes[i] >> 4]);
    text.push_back(digits[bytes[i] & 15]);
  }
  return text;
}

struct BioFree {
  void operator()(BIO* bio) const noexcept { BIO_free(bio); }
};
struct CtxFree {
  void operator()(EVP_PKEY_CTX* ctx) const noexcept { EVP_PKEY_CTX_free(ctx); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* ctx) const noexcept { EVP_MD_CTX_free(ctx); }
};
struct SigFree {
  void operator()(ECDSA_SIG* sig) const noexcept { ECDSA_SIG_free(sig); }
};

std::vector<std::uint8_t> public_point(EVP_PKEY* key) {
  std::size_t length = 0;
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, nullptr, 0, &length) != 1)
    throw ToolError("Could not read the public key: " + openssl_reason());
  std::vector<std::uint8_t> point(length);
  if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size(),
                                      &length) != 1)
    throw ToolError("Could not read the public key: " + openssl_reason());
  point.resize(length);
  // Keys loaded from PEM may carry a compressed point; the launcher wants 0x04 || X || Y.
  if (point.size() != 65 || point[0] != 0x04) {
    if (EVP_PKEY_set_utf8_string_param(key, OSSL_PKEY_PARAM_EC_POINT_CONVERSION_FORMAT,
                                       "uncompressed") != 1)
      throw ToolError("Could not convert the public key: " + openssl_reason());
    return public_point(key);
  }
  return point;
}

bool is_p256(EVP_PKEY* key) {
  if (EVP_PKEY_get_base_id(key) != EVP_PKEY_EC) return false;
  char group[64] = {};
  std::size_t length = 0;
  if (EVP_PKEY_get_utf8_string_param(key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                     &length) != 1)
    return false;
  return std::string_view(group, length) == "prime256v1" || std::string_view(group, length) == "P-256";
}

}  // namespace

void SigningKey::Free::operator()(EVP_PKEY* key) const noexcept { EVP_PKEY_free(key); }

SigningKey SigningKey::load(const std::filesystem::path& pem_file) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_file(pem_file.c_str(), "rb"));
  if (!bio) throw ToolError(fmt::format("Could not open the key file {}: {}", pem_file.string(), std::strerror(errno)));
  EVP_PKEY* key = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  if (key == nullptr)
    throw ToolError(fmt::format("The key file {} holds no readable private key: {}", pem_file.string(), openssl_reason()));
  SigningKey result(key);
  if (!is_p256(key)) throw ToolError(fmt::format("The key in {} is not an ECDSA P-256 key", pem_file.string()));
  return result;
}

SigningKey SigningKey::generate() {
  EVP_PKEY* key = EVP_EC_gen("P-256");
  if (key == nullptr) throw ToolError("Could not generate a P-256 key: " + openssl_reason());
  return SigningKey(key);
}

void SigningKey::save_new(const std::filesystem::path& pem_file) const {
  // O_EXCL: an existing key is a publisher's identity and is never overwritten.
  int fd = ::open(pem_file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    if (errno == EEXIST) throw ToolError(fmt::format("{} already exists; refusing to overwrite a key", pem_file.string()));
    throw ToolError(fmt::format("Could not create {}: {}", pem_file.string(), std::strerror(errno)));
  }
  ::fchmod(fd, 0600);  // whatever the umask says
  std::unique_ptr<BIO, BioFree> bio(BIO_new(BIO_s_mem()));
  bool ok = bio && PEM_write_bio_PrivateKey(bio.get(), key_.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1;
  char* data = nullptr;
  long length = ok ? BIO_get_mem_data(bio.get(), &data) : 0;
  ok = ok && length > 0 && ::write(fd, data, static_cast<std::size_t>(length)) == length;
  ok = (::fsync(fd) == 0) && ok;
  ok = (::close(fd) == 0) && ok;
  if (!ok) {
    ::unlink(pem_file.c_str());
    throw ToolError(fmt::format("Could not write {}", pem_file.string()));
  }
}

std::string SigningKey::public_key_hex() const {
  auto point = public_point(key_.get());
  return hex(point.data(), point.size());
}

std::string SigningKey::key_id() const {
  auto point = public_point(key_.get());
  std::uint8_t digest[SHA256_DIGEST_LENGTH];
  SHA256(point.data(), point.size(), digest);
  return hex(digest, 8);
}

std::array<std::uint8_t, 64> SigningKey::sign(std::string_view message) const {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  std::size_t der_length = 0;
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key_.get()) != 1 ||
      EVP_DigestSign(ctx.get(), nullptr, &der_length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1)
    throw ToolError("Could not sign the release: " + openssl_reason());
  std::vector<unsigned char> der(der_length);
  if (EVP_DigestSign(ctx.get(), der.data(), &der_length,
                     reinterpret_cast<const unsigned char*>(message.data()), message.size()) != 1)
    throw ToolError("Could not sign the release: " + openssl_reason());
  // OpenSSL gives DER; the release carries the fixed-width r || s form.
  const unsigned char* cursor = der.data();
  std::unique_ptr<ECDSA_SIG, SigFree> sig(d2i_ECDSA_SIG(nullptr, &cursor, static_cast<long>(der_length)));
  if (!sig) throw ToolError("Could not decode the signature: " + openssl_reason());
  std::array<std::uint8_t, 64> raw{};
  if (BN_bn2binpad(ECDSA_SIG_get0_r(sig.get()), raw.data(), 32) != 32 ||
      BN_bn2binpad(ECDSA_SIG_get0_s(sig.get()), raw.data() + 32, 32) != 32)
    throw ToolError("Could not encode the signature");
  return raw;
}

std::string sign_release(const std::string& payload, const std::vector<SigningKey>& keys) {
  std::string message(kReleaseSignatureDomain);
  message += payload;
  JsonWriter writer;
  writer.begin_object();
  writer.key("payload");
  writer.write_string(encode_base64(payload));
  writer.key("signatures");
  writer.begin_array();
  for (const auto& key : keys) {
    auto signature = key.sign(message);
    writer.begin_object();
    writer.key("key_id");
    writer.write_string(key.key_id());
    writer.key("signature");
    writer.write_string(encode_base64(std::string_view(reinterpret_cast<const char*>(signature.data()), signature.size())));
    writer.end_object();
  }
  writer.end_array();
  writer.end_object();
  return writer.text();
}

}  // namespace kaldren::patcher::publish
