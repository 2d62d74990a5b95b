// Hexadecimal and base64 text of byte strings, with the strict forms that
// published documents must use.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "protocol/crypto.h"

namespace kaldren::patcher {

// Two lowercase hexadecimal characters per byte, high nibble first.
std::string to_hex(std::span<const std::uint8_t> bytes);
std::string to_hex(std::string_view bytes);

// Exactly 64 characters of 0-9 and a-f (upper case refused); nothing otherwise.
std::optional<Sha256Digest> parse_sha256_hex(std::string_view text);

// Standard alphabet, length a multiple of 4, '=' only as the last one or two
// characters, zero unused bits, no whitespace; "" gives no bytes. Nothing when malformed.
std::optional<std::string> decode_base64(std::string_view text);

// Standard base64 with padding: the one form decode_base64 accepts.
std::string encode_base64(std::string_view bytes);

}  // namespace kaldren::patcher
