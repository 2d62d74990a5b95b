// Printable form of arbitrary bytes for failure reports: bytes outside printable ASCII
// (and the backslash) as \xNN, at most `limit` bytes, then "...".
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace kaldren::patcher::test_support {

inline std::string escaped(std::string_view bytes, std::size_t limit = std::string_view::npos) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : bytes.substr(0, limit)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F && c != '\\') {
      out += c;
    } else {
      out += "\\x";
      out += hex[byte >> 4];
      out += hex[byte & 0x0F];
    }
  }
  if (bytes.size() > limit) out += "...";
  return out;
}

}  // namespace kaldren::patcher::test_support
