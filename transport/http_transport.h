// The transport for one patch source over WinHTTP (Windows): HTTPS only (plain HTTP
// for the local machine), retries with back-off, resumable downloads, prompt stop.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "system/file_system.h"
#include "transport/transport.h"
#include "transport/winhttp_handle.h"

namespace kaldren::patcher {

class HttpTransport final : public SingleSourceTransport {
 public:
  // Throws PatchError configuration for an unusable address, internal when WinHTTP
  // cannot be set up. `attempts` below 1 counts as 1. Downloads are written to `fs`,
  // which must outlive the transport.
  HttpTransport(const std::wstring& address, int attempts, int connect_timeout_ms,
                FileSystem& fs = system_file_system());

  std::string fetch(std::string_view path, std::uint64_t byte_cap, std::stop_token stop) override;
  void download(std::string_view path, const std::filesystem::path& destination, std::uint64_t size,
                std::stop_token stop, const DownloadProgress& progress, std::uint64_t copy_index) override;
  std::string name() const override;

  // For tests: called in a download right before each header of the answer is read
  // (a stop requested there closes the request under the read).
  std::function<void()> before_header_read;

 private:
  class Request;

  // base_path_ + "/" + path; internal error for a path outside the publication rule.
  std::wstring request_target(std::string_view path) const;
  std::string fetch_once(std::string_view path, std::uint64_t byte_cap, std::stop_token stop) const;
  void download_once(std::string_view path, const std::filesystem::path& destination, std::uint64_t size,
                     std::stop_token stop, const DownloadProgress& progress) const;

  FileSystem& fs_;
  // Declared in this order so the connection closes before the root handle.
  WinHttpHandle root_handle_;
  WinHttpHandle connection_;
  std::wstring base_path_;
  std::string source_name_;
  int attempts_ = 1;
  bool secure_ = true;
};

}  // namespace kaldren::patcher
