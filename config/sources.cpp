// Patch source addresses, channel names and process ids taken from the user.
#include <algorithm>
#include <optional>
#include <string>
#include <vector>

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

// Folder sources: a publication on a local drive or a network share, read by the
// folder transport instead of over HTTP. One spelling is kept for each folder (see
// normalize_source in options.h) so that equal folders compare equal in add_sources.

constexpr std::size_t kMaxFolderSourceLength = 2048;

bool is_ascii_letter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

// "file:...", "\\..." or a drive ("D:", "D:\...", "D:name"): meant as a folder, so a refusal
// explains the folder spellings rather than the https rule.
bool looks_like_folder(std::wstring_view address) {
  if (starts_with_ignoring_case(address, L"file:") || address.starts_with(L"\\\\")) return true;
  return address.size() >= 2 && is_ascii_letter(address[0]) && address[1] == L':';
}

// A server name: letters, digits, '-', '.' and '_', starting with a letter or digit, and
// never this machine (a drive path says that) nor a device namespace ("\\.\", "\\?\").
bool is_server_name(std::wstring_view host) {
  return !host.empty() && (is_ascii_letter(host.front()) || is_ascii_digit(host.front())) &&
         std::all_of(host.begin(), host.end(), is_host_character) && !equal_ignoring_case(host, L"localhost");
}

// A folder name Windows reads as written: not empty, "." or "..", no trailing dot or
// space (Windows drops them, so "a." is "a" and "..." is no name), no separator, no
// character Windows refuses in names, valid UTF-8.
bool is_folder_name(std::string_view name) {
  if (name.empty() || name == "." || name == ".." || name.back() == '.' || name.back() == ' ') return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || std::string_view("\"*/:<>?\\|").find(c) != std::string_view::npos) {
      return false;
    }
  }
  try {
    to_utf16(name);
  } catch (const PatchError&) {
    return false;
  }
  return true;
}

// Bytes written as themselves in the kept spelling; every other byte is escaped, so
// that the spelling holds no space or comma (add_sources splits there) and no byte a
// reader could take another way.
bool is_plain_url_byte(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
         std::string_view("-._~!$&'()+;=@").find(c) != std::string_view::npos;
}

void append_escaped(std::wstring& url, std::string_view name) {
  constexpr char kHex[] = "0123456789ABCDEF";
  for (const char c : name) {
    if (is_plain_url_byte(c)) {
      url += static_cast<wchar_t>(c);
    } else {
      const auto byte = static_cast<unsigned char>(c);
      url += L'%';
      url += static_cast<wchar_t>(kHex[byte >> 4]);
      url += static_cast<wchar_t>(kHex[byte & 15]);
    }
  }
}

std::vector<std::wstring_view> split(std::wstring_view text, std::wstring_view separators) {
  std::vector<std::wstring_view> parts;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = text.find_first_of(separators, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::wstring_view::npos) return parts;
    start = end + 1;
  }
}

// The kept spelling: "file:///D:/name/..." for a drive, "file://server/share/..." for a
// share; empty when the address is no acceptable folder.
std::wstring folder_source(std::wstring_view address) {
  std::wstring_view host;
  std::wstring_view drive;
  std::vector<std::string> names;
  if (starts_with_ignoring_case(address, L"file://")) {
    const std::wstring_view rest = address.substr(7);
    // A file URL's query or fragment has no meaning for a folder; a backslash is read
    // as a separator by some and as a character by others.
    if (rest.find_first_of(L"?#\\") != std::wstring_view::npos) return {};
    const std::size_t slash = rest.find(L'/');
    if (slash == std::wstring_view::npos) return {};
    host = rest.substr(0, slash);
    std::vector<std::wstring_view> segments = split(rest.substr(slash + 1), L"/");
    if (host.empty() || equal_ignoring_case(host, L"localhost")) {
      host = {};
      const std::wstring_view first = segments.front();
      if (first.size() != 2 || !is_ascii_letter(first[0]) || first[1] != L':') return {};
      drive = first;
      segments.erase(segments.begin());
    } else if (!is_server_name(host)) {
      return {};
    }
    for (const std::wstring_view segment : segments) {
      std::optional<std::string> name = decode_percent_escapes(segment);
      if (!name) return {};
      names.push_back(std::move(*name));
    }
  } else if (address.starts_with(L"\\\\")) {
    // A UNC path names its characters as they are: nothing is unescaped.
    std::vector<std::wstring_view> segments = split(address.substr(2), L"\\/");
    host = segments.front();
    if (!is_server_name(host)) return {};
    for (std::size_t i = 1; i < segments.size(); ++i) {
      try {
        names.push_back(to_utf8(segments[i]));
      } catch (const PatchError&) {
        return {};
      }
    }
  } else {
    return {};
  }
  // A share needs its share name; a drive may be published at its root (a disc).
  if (drive.empty() && names.empty()) return {};
  if (!std::all_of(names.begin(), names.end(), [](const std::string& name) { return is_folder_name(name); })) {
    return {};
  }
  std::wstring url = L"file://";
  url += host;
  if (!drive.empty()) {
    url += L'/';
    url += static_cast<wchar_t>(drive[0] & ~0x20);
    url += L':';
  }
  for (const std::string& name : names) {
    url += L'/';
    append_escaped(url, name);
  }
  if (url.size() > kMaxFolderSourceLength) return {};
  return url;
}

bool is_channel_character(char c) {
  return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
}

}  // namespace

std::wstring normalize_source(std::wstring_view address) {
  while (!address.empty() && address.back() == L'/') address.remove_suffix(1);
  if (looks_like_folder(address)) {
    while (!address.empty() && (address.back() == L'/' || address.back() == L'\\')) address.remove_suffix(1);
    std::wstring folder = folder_source(address);
    if (folder.empty()) {
      throw PatchError(ErrorCategory::configuration,
                       fmt::format("The patch folder \"{}\" must be written file:///D:/folder, "
                                   "file://server/share/folder or \\\\server\\share\\folder, "
                                   "without . or .. parts",
                                   to_utf8_lenient(address)));
    }
    return folder;
  }
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
