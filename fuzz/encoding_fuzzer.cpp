// Base64 and hexadecimal text: each accepted text is the one canonical form of its
// bytes (encoding what was decoded gives the text back), and encoding any bytes gives
// a text that decodes to them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"
#include "fuzz_check.h"
#include "protocol/encoding.h"
#include "protocol/release.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kaldren::patcher;
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (const auto bytes = decode_base64(text)) {
    FUZZ_CHECK(encode_base64(*bytes) == text, text);
  }
  const auto round_trip = decode_base64(encode_base64(text));
  FUZZ_CHECK(round_trip && *round_trip == text, text);

  if (const auto digest = parse_sha256_hex(text)) {
    FUZZ_CHECK(to_hex(*digest) == text, text);
  }
  const std::string hex = to_hex(text);
  FUZZ_CHECK(hex.size() == 2 * text.size(), text);
  if (text.size() == 32) {
    const auto digest = parse_sha256_hex(hex);
    FUZZ_CHECK(digest && std::equal(digest->begin(), digest->end(), data), text);
  }

  // Release keys are hexadecimal of either case.
  try {
    const ReleaseKey key = parse_release_key(text);
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'F' ? static_cast<char>(c - 'A' + 'a') : c; });
    FUZZ_CHECK(key.point[0] == 0x04 && to_hex(key.point) == lower && key.key_id.size() == 16, text);
  } catch (const PatchError& error) {
    FUZZ_CHECK(error.category() == ErrorCategory::configuration, text);
  }
  return 0;
}
