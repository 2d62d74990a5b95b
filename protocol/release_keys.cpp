#include "protocol/release.h"

#include "core/error.h"

namespace kaldren::patcher {
namespace {

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

[[noreturn]] void refuse_key() {
  throw PatchError(ErrorCategory::configuration,
                   "A release public key must be 130 hex characters of an uncompressed P-256 point");
}

}  // namespace

ReleaseKey parse_release_key(std::string_view hex) {
  ReleaseKey key;
  if (hex.size() != key.point.size() * 2) refuse_key();
  for (std::size_t i = 0; i < key.point.size(); ++i) {
    const int high = hex_value(hex[2 * i]);
    const int low = hex_value(hex[2 * i + 1]);
    if (high < 0 || low < 0) refuse_key();
    key.point[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  if (key.point[0] != 0x04) refuse_key();
  const Sha256Digest digest = sha256(key.point);
  key.key_id = to_hex(std::span(digest).first(8));
  return key;
}

std::vector<ReleaseKey> release_keys_from_constant(std::string_view key_constant) {
  std::vector<ReleaseKey> keys;
  if (key_constant.empty()) return keys;
  for (;;) {
    const std::size_t comma = key_constant.find(',');
    keys.push_back(parse_release_key(key_constant.substr(0, comma)));
    if (comma == std::string_view::npos) return keys;
    key_constant.remove_prefix(comma + 1);
  }
}

}  // namespace kaldren::patcher
