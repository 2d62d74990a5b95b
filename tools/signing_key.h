// The publisher's ECDSA P-256 release signing keys (OpenSSL): generation, PEM
// files, the public point the launcher embeds, and release signatures.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

typedef struct evp_pkey_st EVP_PKEY;

namespace kaldren::patcher::publish {

// Thrown for every failure of the publishing tool; the message is shown as is.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SigningKey {
 public:
  // Reads a PEM private key; it must be a P-256 key. Throws ToolError.
  static SigningKey load(const std::filesystem::path& pem_file);
  // A fresh random P-256 key.
  static SigningKey generate();

  // Writes the private key as PEM with mode 0600; refuses to overwrite a file.
  void save_new(const std::filesystem::path& pem_file) const;

  // The 65-byte uncompressed point (0x04 || X || Y) as 130 lowercase hex characters.
  std::string public_key_hex() const;
  // First 8 bytes of SHA-256 of the point, as 16 lowercase hex characters.
  std::string key_id() const;
  // The 64-byte r || s signature over SHA-256 of `message`.
  std::array<std::uint8_t, 64> sign(std::string_view message) const;

 private:
  struct Free {
    void operator()(EVP_PKEY* key) const noexcept;
  };
  explicit SigningKey(EVP_PKEY* key) : key_(key) {}
  std::unique_ptr<EVP_PKEY, Free> key_;
};

// The release document: the payload and its signature by each key, as launchers read it.
std::string sign_release(const std::string& payload, const std::vector<SigningKey>& keys);

}  // namespace kaldren::patcher::publish
