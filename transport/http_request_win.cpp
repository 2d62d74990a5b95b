#include <windows.h>
#include <winhttp.h>

#include <string>

#include "core/error.h"
#include "core/text.h"
#include "transport/http_request_win.h"
#include "transport/http_rules.h"
#include "transport/transport.h"

namespace kaldren::patcher {

void HttpTransport::Request::Closer::operator()() const noexcept {
  if (void* handle = slot->exchange(nullptr)) WinHttpCloseHandle(handle);
}

HttpTransport::Request::Request(void* connection, const std::wstring& target, bool secure,
                                std::stop_token stop)
    : stop_(std::move(stop)) {
  HINTERNET handle = WinHttpOpenRequest(connection, L"GET", target.c_str(), nullptr, WINHTTP_NO_REFERER,
                                        WINHTTP_DEFAULT_ACCEPT_TYPES, secure ? WINHTTP_FLAG_SECURE : 0);
  if (handle == nullptr) {
    throw_win32(ErrorCategory::internal, "Could not create a patch request", GetLastError());
  }
  slot_.store(handle);
  // Runs at once when stop was already requested: every later call then fails as cancelled.
  on_stop_.emplace(stop_, Closer{&slot_});
}

HttpTransport::Request::~Request() {
  // Unregistering waits for a running callback, so the handle is closed exactly once.
  on_stop_.reset();
  Closer{&slot_}();
}

void* HttpTransport::Request::handle() const {
  void* handle = slot_.load();
  if (handle == nullptr || stop_.stop_requested()) throw_cancelled();
  return handle;
}

void HttpTransport::Request::fail(const std::string& context, std::uint32_t code) const {
  if (stop_.stop_requested() || code == ERROR_WINHTTP_OPERATION_CANCELLED) throw_cancelled();
  throw TransientError(win32_error_text(context, code));
}

void HttpTransport::Request::add_header(const std::wstring& header) {
  if (!WinHttpAddRequestHeaders(handle(), header.c_str(), static_cast<DWORD>(header.size()),
                                WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
    throw_win32(ErrorCategory::internal, "Could not add a request header", GetLastError());
  }
}

void HttpTransport::Request::send(std::string_view path) {
  if (!WinHttpSendRequest(handle(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0)) {
    const DWORD code = GetLastError();
    fail("Could not reach the patch server for " + std::string(path), code);
  }
  if (!WinHttpReceiveResponse(handle(), nullptr)) {
    const DWORD code = GetLastError();
    fail("The patch server did not answer for " + std::string(path), code);
  }
}

std::uint32_t HttpTransport::Request::status() {
  DWORD status = 0;
  DWORD size = sizeof(status);
  if (!WinHttpQueryHeaders(handle(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX)) {
    const DWORD code = GetLastError();
    fail("Could not read the patch server status", code);
  }
  return status;
}

std::string HttpTransport::Request::header(std::uint32_t query) {
  // A header missing from the answer is a value ("none"); any other failure is not: a
  // handle closed by a stop must end the call as cancelled, not look like a bad range.
  void* const request = handle();
  if (before_header_read) before_header_read();
  DWORD bytes = 0;
  if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &bytes,
                           WINHTTP_NO_HEADER_INDEX)) {
    const DWORD code = GetLastError();
    if (code == ERROR_WINHTTP_HEADER_NOT_FOUND) return {};
    if (code != ERROR_INSUFFICIENT_BUFFER) fail("Could not read the patch server's answer", code);
  }
  if (bytes == 0) return {};
  std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
  if (!WinHttpQueryHeaders(request, query, WINHTTP_HEADER_NAME_BY_INDEX, value.data(), &bytes,
                           WINHTTP_NO_HEADER_INDEX)) {
    const DWORD code = GetLastError();
    if (code == ERROR_WINHTTP_HEADER_NOT_FOUND) return {};
    fail("Could not read the patch server's answer", code);
  }
  value.resize(bytes / sizeof(wchar_t));
  return to_utf8_lenient(value);
}

std::size_t HttpTransport::Request::read(void* buffer, std::size_t size) {
  DWORD received = 0;
  if (!WinHttpReadData(handle(), buffer, static_cast<DWORD>(size), &received)) {
    const DWORD code = GetLastError();
    fail("The download from the patch server was interrupted", code);
  }
  return received;
}

}  // namespace kaldren::patcher
