// The HTTP answer rules on any header text: Retry-After agrees with a plain decimal
// reading capped at 300, and a Content-Range accepted for (start, total) is
// "bytes <start>-<anything>/<total>" with both numbers decimal. The first 16 bytes
// are start and total.
#include <algorithm>
#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include <fmt/format.h>

#include "fuzz_check.h"
#include "transport/http_rules.h"

namespace kaldren::patcher {
namespace {

bool all_digits(std::string_view text) {
  return !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
}

std::optional<std::uint64_t> decimal(std::string_view text) {
  std::uint64_t value = 0;
  if (!all_digits(text)) return std::nullopt;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

void check_retry_after(std::string_view value) {
  const std::optional<std::uint64_t> seconds = decimal(value);
  const std::uint64_t expected = seconds ? std::min<std::uint64_t>(*seconds, 300) : 0;
  FUZZ_CHECK(http::parse_retry_after(value) == expected, value);
}

void check_content_range(std::string_view header, std::uint64_t start, std::uint64_t total) {
  if (http::content_range_matches(header, start, total)) {
    FUZZ_CHECK(header.starts_with("bytes "), header);
    const std::string_view range = header.substr(6);
    const std::size_t dash = range.find('-');
    const std::size_t slash = range.find('/');
    FUZZ_CHECK(dash != std::string_view::npos && slash != std::string_view::npos && dash < slash, header);
    FUZZ_CHECK(decimal(range.substr(0, dash)) == start, header);
    FUZZ_CHECK(decimal(range.substr(slash + 1)) == total, header);
  }
  // What a server sends for a resumed download is always accepted.
  const std::uint64_t last = total == 0 ? 0 : total - 1;
  FUZZ_CHECK(http::content_range_matches(fmt::format("bytes {}-{}/{}", start, last, total), start, total), header);
}

void check_publication_path(std::string_view path) {
  if (!http::is_publication_path(path)) return;
  FUZZ_CHECK(!path.empty() && path.front() != '/' && path.find("..") == std::string_view::npos, path);
  constexpr std::string_view allowed = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-./_";
  FUZZ_CHECK(path.find_first_not_of(allowed) == std::string_view::npos, path);
}

}  // namespace
}  // namespace kaldren::patcher

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kaldren::patcher;
  const std::string_view whole(reinterpret_cast<const char*>(data), size);
  check_retry_after(whole);
  check_publication_path(whole);
  if (size < 16) return 0;
  std::uint64_t start = 0;
  std::uint64_t total = 0;
  std::memcpy(&start, data, 8);
  std::memcpy(&total, data + 8, 8);
  check_content_range(whole.substr(16), start, total);
  return 0;
}
