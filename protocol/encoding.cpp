#include "protocol/encoding.h"

namespace kaldren::patcher {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int lowercase_hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

int base64_value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string to_hex(std::span<const std::uint8_t> bytes) {
  std::string text;
  text.reserve(bytes.size() * 2);
  for (const std::uint8_t byte : bytes) {
    text.push_back(kHexDigits[byte >> 4]);
    text.push_back(kHexDigits[byte & 0x0F]);
  }
  return text;
}

std::string to_hex(std::string_view bytes) {
  return to_hex(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<Sha256Digest> parse_sha256_hex(std::string_view text) {
  Sha256Digest digest{};
  if (text.size() != digest.size() * 2) return std::nullopt;
  for (std::size_t i = 0; i < digest.size(); ++i) {
    const int high = lowercase_hex_value(text[2 * i]);
    const int low = lowercase_hex_value(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    digest[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  return digest;
}

std::optional<std::string> decode_base64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t group = 0; group < text.size(); group += 4) {
    const bool last = group + 4 == text.size();
    int values[4];
    int padding = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = text[group + i];
      if (c == '=') {
        // Padding only in the third and fourth places of the last group.
        if (!last || i < 2) return std::nullopt;
        ++padding;
        values[i] = 0;
      } else {
        if (padding > 0) return std::nullopt;  // Only '=' may follow '='.
        values[i] = base64_value(c);
        if (values[i] < 0) return std::nullopt;
      }
    }
    const std::uint32_t bits = static_cast<std::uint32_t>(values[0]) << 18 |
                               static_cast<std::uint32_t>(values[1]) << 12 |
                               static_cast<std::uint32_t>(values[2]) << 6 | static_cast<std::uint32_t>(values[3]);
    // The bits a padded group does not use must be zero, so each byte string has one text.
    if ((padding == 1 && (bits & 0xFF) != 0) || (padding == 2 && (bits & 0xFFFF) != 0)) return std::nullopt;
    bytes.push_back(static_cast<char>(bits >> 16));
    if (padding < 2) bytes.push_back(static_cast<char>(bits >> 8 & 0xFF));
    if (padding < 1) bytes.push_back(static_cast<char>(bits & 0xFF));
  }
  return bytes;
}

std::string encode_base64(std::string_view bytes) {
  std::string text;
  text.reserve((bytes.size() + 2) / 3 * 4);
  for (std::size_t i = 0; i < bytes.size(); i += 3) {
    const std::size_t count = bytes.size() - i < 3 ? bytes.size() - i : 3;
    std::uint32_t bits = static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
    if (count > 1) bits |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    if (count > 2) bits |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 2]));
    text.push_back(kBase64Alphabet[bits >> 18 & 0x3F]);
    text.push_back(kBase64Alphabet[bits >> 12 & 0x3F]);
    text.push_back(count > 1 ? kBase64Alphabet[bits >> 6 & 0x3F] : '=');
    text.push_back(count > 2 ? kBase64Alphabet[bits & 0x3F] : '=');
  }
  return text;
}

}  // namespace kaldren::patcher
