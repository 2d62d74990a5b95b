// One WinHTTP request of an HttpTransport call. Requesting stop closes its handle at
// once from the stopping thread, which ends a blocked WinHTTP call on the worker.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "transport/http_transport.h"

namespace kaldren::patcher {

class HttpTransport::Request {
 public:
  // Opens a GET request for `target` on the connection; internal error on failure.
  Request(void* connection, const std::wstring& target, bool secure, std::stop_token stop);
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;
  ~Request();

  // Adds or replaces one "Name: value" header.
  void add_header(const std::wstring& header);
  // Sends the request and waits for the answer's headers.
  void send(std::string_view path);
  std::uint32_t status();
  // The header's value, or "" when the answer has none; a failed read fails like
  // every other call (cancelled when stop explains it).
  std::string header(std::uint32_t query);
  // Up to `size` body bytes; 0 at the end of the body.
  std::size_t read(void* buffer, std::size_t size);

  // For tests: runs inside header() once the handle is taken, right before it is used.
  std::function<void()> before_header_read;

 private:
  struct Closer {
    std::atomic<void*>* slot;
    void operator()() const noexcept;
  };

  // The open handle; cancelled once stop was requested or the handle was taken.
  void* handle() const;
  // A transient error for a failed call, or cancelled when stop explains the failure.
  [[noreturn]] void fail(const std::string& context, std::uint32_t code) const;

  std::stop_token stop_;
  std::atomic<void*> slot_{nullptr};
  std::optional<std::stop_callback<Closer>> on_stop_;
};

}  // namespace kaldren::patcher
