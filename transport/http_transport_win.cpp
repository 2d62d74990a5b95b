#include <windows.h>
#include <winhttp.h>

#include <algorithm>
#include <cwctype>

#include <fmt/format.h>

#include "build_constants.h"
#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "transport/http_request_win.h"
#include "transport/http_rules.h"
#include "transport/http_transport.h"

namespace kaldren::patcher {
namespace {

constexpr std::size_t kMaxAddressLength = 2048;
constexpr std::size_t kDocumentChunk = 16384;
constexpr DWORD kSendTimeoutMs = 30000;
constexpr DWORD kReceiveTimeoutMs = 60000;
constexpr DWORD kMaxConnectionsPerServer = 16;

const char* const kAddressRefused =
    "The patch server address must be an https:// URL (http:// is allowed only for localhost)";

struct SourceAddress {
  bool secure = true;
  std::wstring host;
  INTERNET_PORT port = 0;
  std::wstring path;
};

bool equals_ignoring_case(std::wstring_view text, std::wstring_view lower) {
  return text.size() == lower.size() &&
         std::equal(text.begin(), text.end(), lower.begin(),
                    [](wchar_t a, wchar_t b) { return std::towlower(a) == b; });
}

bool is_local_host(std::wstring_view host) {
  return host == L"127.0.0.1" || host == L"[::1]" || host == L"::1" || equals_ignoring_case(host, L"localhost");
}

SourceAddress accept_address(const std::wstring& address) {
  if (address.empty() || address.size() > kMaxAddressLength) {
    throw PatchError(ErrorCategory::configuration, kAddressRefused);
  }
  URL_COMPONENTS parts{};
  parts.dwStructSize = sizeof(parts);
  // Non-zero lengths without buffers ask for pointers into the address itself.
  parts.dwSchemeLength = static_cast<DWORD>(-1);
  parts.dwHostNameLength = static_cast<DWORD>(-1);
  parts.dwUserNameLength = static_cast<DWORD>(-1);
  parts.dwPasswordLength = static_cast<DWORD>(-1);
  parts.dwUrlPathLength = static_cast<DWORD>(-1);
  parts.dwExtraInfoLength = static_cast<DWORD>(-1);
  if (!WinHttpCrackUrl(address.c_str(), static_cast<DWORD>(address.size()), 0, &parts) ||
      parts.dwUserNameLength > 0 || parts.dwPasswordLength > 0 || parts.dwExtraInfoLength > 0) {
    throw PatchError(ErrorCategory::configuration, kAddressRefused);
  }
  SourceAddress result;
  result.host.assign(parts.lpszHostName ? parts.lpszHostName : L"", parts.dwHostNameLength);
  result.port = parts.nPort;
  result.path.assign(parts.lpszUrlPath ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
  // Some WinHTTP versions leave a fragment in the path instead of the extra information.
  if (result.path.find_first_of(L"?#") != std::wstring::npos) {
    throw PatchError(ErrorCategory::configuration, kAddressRefused);
  }
  result.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
  const bool accepted = (result.secure && !result.host.empty()) ||
                        (parts.nScheme == INTERNET_SCHEME_HTTP && is_local_host(result.host));
  if (!accepted) throw PatchError(ErrorCategory::configuration, kAddressRefused);
  while (!result.path.empty() && result.path.back() == L'/') result.path.pop_back();
  return result;
}

WinHttpHandle open_session() {
  const std::wstring agent = L"KaldrenMorvale-Lanternix/" + to_utf16(build::kLauncherVersion);
  HINTERNET root = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY, WINHTTP_NO_PROXY_NAME,
                               WINHTTP_NO_PROXY_BYPASS, 0);
  if (root == nullptr) {
    root = WinHttpOpen(agent.c_str(), WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                       WINHTTP_NO_PROXY_BYPASS, 0);
  }
  if (root == nullptr) throw_win32(ErrorCategory::internal, "Could not initialize WinHTTP", GetLastError());
  return WinHttpHandle(root);
}

bool set_number_option(HINTERNET handle, DWORD option, DWORD value) {
  return WinHttpSetOption(handle, option, &value, sizeof(value)) != FALSE;
}

void require_tls(HINTERNET root) {
  if (set_number_option(root, WINHTTP_OPTION_SECURE_PROTOCOLS,
                        WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3)) {
    return;
  }
  if (set_number_option(root, WINHTTP_OPTION_SECURE_PROTOCOLS, WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2)) return;
  throw_win32(ErrorCategory::internal, "Could not require TLS 1.2", GetLastError());
}

// Options that only make the transport better; older systems may refuse them.
void set_optional_options(HINTERNET root) {
  struct Option {
    DWORD option;
    DWORD value;
    const char* label;
  };
  const Option options[] = {
      {WINHTTP_OPTION_ENABLE_HTTP_PROTOCOL, WINHTTP_PROTOCOL_FLAG_HTTP2, "HTTP/2"},
      {WINHTTP_OPTION_REDIRECT_POLICY, WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP, "redirect policy"},
      {WINHTTP_OPTION_MAX_CONNS_PER_SERVER, kMaxConnectionsPerServer, "connections per server"},
  };
  for (const Option& option : options) {
    if (!set_number_option(root, option.option, option.value)) {
      const DWORD code = GetLastError();
      log(LogLevel::warn, "WinHTTP option {} is unavailable: {}", option.label,
          win32_error_text("WinHttpSetOption", code));
    }
  }
}

void set_timeouts(HINTERNET root, int connect_timeout_ms) {
  const int connect = std::clamp(connect_timeout_ms, 1000, 60000);
  if (!WinHttpSetTimeouts(root, connect, connect, kSendTimeoutMs, kReceiveTimeoutMs)) {
    log(LogLevel::warn, "Could not set WinHTTP timeouts");
  }
}

}  // namespace

void WinHttpHandleTraits::close(void* handle) noexcept { WinHttpCloseHandle(handle); }

HttpTransport::HttpTransport(const std::wstring& address, int attempts, int connect_timeout_ms, FileSystem& fs)
    : fs_(fs), attempts_(std::max(attempts, 1)) {
  const SourceAddress source = accept_address(address);
  source_name_ = to_utf8_lenient(address);
  base_path_ = source.path;
  secure_ = source.secure;
  root_handle_ = open_session();
  require_tls(root_handle_.get());
  set_optional_options(root_handle_.get());
  set_timeouts(root_handle_.get(), connect_timeout_ms);
  HINTERNET connection = WinHttpConnect(root_handle_.get(), source.host.c_str(), source.port, 0);
  if (connection == nullptr) {
    throw_win32(ErrorCategory::configuration, "Could not use the patch server address", GetLastError());
  }
  connection_ = WinHttpHandle(connection);
}

std::string HttpTransport::fetch(std::string_view path, std::uint64_t byte_cap, std::stop_token stop) {
  std::string body;
  http::run_with_retries(path, attempts_, stop, [&] { body = fetch_once(path, byte_cap, stop); });
  return body;
}

void HttpTransport::download(std::string_view path, const std::filesystem::path& destination,
                             std::uint64_t size, std::stop_token stop, const DownloadProgress& progress,
                             std::uint64_t /*copy_index*/) {
  http::run_with_retries(path, attempts_, stop,
                         [&] { download_once(path, destination, size, stop, progress); });
}

std::string HttpTransport::name() const { return source_name_; }

std::wstring HttpTransport::request_target(std::string_view path) const {
  if (!http::is_publication_path(path)) {
    throw PatchError(ErrorCategory::internal, "Invalid publication path " + std::string(path));
  }
  return base_path_ + L"/" + to_utf16(path);
}

std::string HttpTransport::fetch_once(std::string_view path, std::uint64_t byte_cap,
                                      std::stop_token stop) const {
  Request request(connection_.get(), request_target(path), secure_, stop);
  request.add_header(L"Cache-Control: no-cache");
  request.send(path);
  const std::uint32_t status = request.status();
  if (http::classify_status(http::RequestKind::document, status) != http::StatusOutcome::document) {
    http::throw_status_error(http::RequestKind::document, status, path,
                             http::parse_retry_after(request.header(WINHTTP_QUERY_RETRY_AFTER)));
  }
  std::string body;
  char chunk[kDocumentChunk];
  for (;;) {
    const std::size_t received = request.read(chunk, sizeof(chunk));
    if (received == 0) return body;
    if (received > byte_cap - body.size()) {
      throw PatchError(ErrorCategory::server, fmt::format("{} is larger than allowed", path));
    }
    body.append(chunk, received);
  }
}

}  // namespace kaldren::patcher
