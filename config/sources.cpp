// Patch source addresses, channel names and process ids taken from the user.
#include <algorithm>

#include <fmt/format.h>

#include "config/options.h"
#include "core/error.h"
#include "core/text.h"

namespace kaldren::patcher {
namespace {

bool starts_with_ignoring_case(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() && equal_ignoring_case(text.substr(0, prefix.size()), prefix);
}

bool is_ascii_digit(wchar_t c) { return c >= L'0' && c <= L'9'; }

bool is_host_character(wchar_t c) {
  return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || is_ascii_digit(c) || c == L'-' || c == L'.' ||
         c == L'_';
}

bool is_ipv6_character(wchar_t c) {
  return is_ascii_digit(c) || (c >= L'a' && c <= L'f') || (c >= L'A' && c <= L'F') || c == L':' || c == L'.';
}

// 1 to 65535 in at most five digits.
bool is_port(std::wstring_view digits) {
  if (digits.empty() || digits.size() > 5) return false;
  unsigned value = 0;
  for (wchar_t c : digits) {
    if (!is_ascii_digit(c)) return false;
    value = value * 10 + static_cast<unsigned>(c - L'0');
  }
  return value >= 1 && value <= 65535;
}

// The host of "scheme://host[:port][/path]", brackets of an IPv6 literal kept; empty
// when the authority holds anything more. URL readers disagree about user names,
// escapes, spaces and other characters there (for "http://evil.example\@localhost/"
// Wine's WinHTTP reads the host "localhost", a browser "evil.example"): such an
// address could reach another host than the one this rule saw.
std::wstring_view host_of(std::wstring_view rest) {
  const std::wstring_view authority = rest.substr(0, rest.find(L'/'));
  std::wstring_view host = authority.substr(0, authority.find(L':'));
  if (!authority.empty() && authority.front() == L'[') {
    const std::size_t close = authority.find(L']');
    if (close == std::wstring_view::npos || close < 2) return {};
    host = authority.substr(0, close + 1);
    if (!std::all_of(host.begin() + 1, host.end() - 1, is_ipv6_character)) return {};
  } else if (!std::all_of(host.begin(), host.end(), is_host_character)) {
    return {};
  }
  if (host.size() < authority.size() && (authority[host.size()] != L':' || !is_port(authority.substr(host.size() + 1)))) {
    return {};
  }
  return host;
}

bool is_acceptable_source(std::wstring_view address) {
  constexpr std::wstring_view https = L"https://";
  constexpr std::wstring_view http = L"http://";
  // A base address has no query or fragment, and readers differ on whether a backslash,
  // '?' or '#' ends the host: refused wherever they stand.
  if (address.find_first_of(L"\\?#") != std::wstring_view::npos) return false;
  if (starts_with_ignoring_case(address, https)) {
    return !host_of(address.substr(https.size())).empty();
  }
  if (starts_with_ignoring_case(address, http)) {
    // Plain http only reaches this machine, for local test servers.
    std::wstring_view host = host_of(address.substr(http.size()));
    return equal_ignoring_case(host, L"localhost") || host == L"127.0.0.1" || host == L"[::1]";
  }
  return false;
}

bool is_channel_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

}  // namespace

std::wstring normalize_source(std::wstring_view address) {
  while (!address.empty() && address.back() == L'/') address.remove_suffix(1);
  if (!is_acceptable_source(address)) {
    throw PatchError(ErrorCategory::configuration,
                     fmt::format("The patch server address \"{}\" must start with https:// "
                                 "(http:// is allowed only for localhost)",
                                 to_utf8_lenient(address)));
  }
  return std::wstring(address);
}

void add_sources(std::vector<std::wstring>& list, std::wstring_view value) {
  std::size_t start = 0;
  while (start <= value.size()) {
    std::size_t end = value.find_first_of(L", ", start);
    if (end == std::wstring_view::npos) end = value.size();
    std::wstring_view piece = value.substr(start, end - start);
    start = end + 1;
    if (piece.empty()) continue;
    std::wstring source = normalize_source(piece);
    bool known = false;
    for (const std::wstring& existing : list) {
      if (equal_ignoring_case(existing, source)) {
        known = true;
        break;
      }
    }
    if (!known) list.push_back(std::move(source));
  }
}

std::string validate_channel(std::wstring_view text) {
  std::string channel = to_utf8(text);
  bool valid = !channel.empty() && channel.size() <= 32 && channel.front() != '-' &&
               channel.front() != '_';
  for (char c : channel) valid = valid && is_channel_character(c);
  if (!valid) {
    throw PatchError(ErrorCategory::configuration,
                     fmt::format("The patch channel \"{}\" must be 1-32 lowercase letters, "
                                 "digits, - or _",
                                 channel));
  }
  return channel;
}

std::uint32_t parse_process_id(std::wstring_view text) {
  std::string digits = to_utf8(text);
  std::uint64_t value = 0;
  bool valid = !digits.empty();
  for (char c : digits) {
    if (c < '0' || c > '9') {
      valid = false;
      break;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > 0xFFFFFFFFull) {
      valid = false;
      break;
    }
  }
  if (!valid || value == 0) {
    throw PatchError(ErrorCategory::configuration, "Invalid process id on the command line");
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace kaldren::patcher
