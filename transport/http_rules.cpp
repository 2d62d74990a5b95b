#include "transport/http_rules.h"

#include <fmt/format.h>

#include "core/error.h"
#include "transport/transport.h"

namespace kaldren::patcher::http {
namespace {

constexpr std::uint64_t kMaxRetryAfterSeconds = 300;

bool is_path_byte(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '/' || c == '_';
}

// A non-empty run of decimal digits that fits in 64 bits.
bool parse_decimal(std::string_view text, std::uint64_t& value) noexcept {
  if (text.empty()) return false;
  std::uint64_t result = 0;
  for (const char c : text) {
    if (c < '0' || c > '9') return false;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (result > (UINT64_MAX - digit) / 10) return false;
    result = result * 10 + digit;
  }
  value = result;
  return true;
}

bool is_busy_status(std::uint32_t status) noexcept {
  switch (status) {
    case 408:
    case 425:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
      return true;
    default:
      return false;
  }
}

}  // namespace

bool is_publication_path(std::string_view path) noexcept {
  if (path.empty() || path.front() == '/') return false;
  if (path.find("..") != std::string_view::npos) return false;
  for (const char c : path) {
    if (!is_path_byte(c)) return false;
  }
  return true;
}

bool content_range_matches(std::string_view header, std::uint64_t start, std::uint64_t total) noexcept {
  constexpr std::string_view kUnit = "bytes ";
  if (header.substr(0, kUnit.size()) != kUnit) return false;
  const std::string_view range = header.substr(kUnit.size());
  const std::size_t dash = range.find('-');
  const std::size_t slash = range.find('/');
  if (dash == std::string_view::npos || slash == std::string_view::npos || slash < dash) return false;
  std::uint64_t first = 0;
  std::uint64_t length = 0;
  return parse_decimal(range.substr(0, dash), first) && first == start &&
         parse_decimal(range.substr(slash + 1), length) && length == total;
}

std::uint64_t parse_retry_after(std::string_view value) noexcept {
  std::uint64_t seconds = 0;
  if (!parse_decimal(value, seconds)) return 0;
  return seconds < kMaxRetryAfterSeconds ? seconds : kMaxRetryAfterSeconds;
}

StatusOutcome classify_status(RequestKind kind, std::uint32_t status) noexcept {
  if (kind == RequestKind::document) {
    return status == 200 ? StatusOutcome::document : StatusOutcome::failure;
  }
  switch (status) {
    case 200: return StatusOutcome::whole_object;
    case 206: return StatusOutcome::resume;
    case 416: return StatusOutcome::refused_resume;
    default: return StatusOutcome::failure;
  }
}

void throw_status_error(RequestKind kind, std::uint32_t status, std::string_view path,
                        std::uint64_t retry_after_seconds) {
  if (is_busy_status(status)) {
    throw TransientError(fmt::format("The patch server is busy (HTTP {}) for {}", status, path),
                         retry_after_seconds);
  }
  if (status == 404 && kind == RequestKind::document) {
    throw PatchError(ErrorCategory::server, fmt::format("The patch server has no {}", path));
  }
  if ((status == 404 || status == 410) && kind == RequestKind::object) {
    throw PatchError(ErrorCategory::server, fmt::format("The patch server is missing {}", path));
  }
  throw PatchError(ErrorCategory::server,
                   fmt::format("The patch server answered HTTP {} for {}", status, path));
}

}  // namespace kaldren::patcher::http
