// One attempt of an object download: resumes the partial file the caller names, and
// keeps it whenever the next attempt can continue from it.
#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <system_error>

#include <fmt/format.h>

#include "core/error.h"
#include "core/text.h"
#include "engine/file_operations.h"
#include "core/win_handle.h"
#include "transport/http_request_win.h"
#include "transport/http_rules.h"
#include "transport/http_transport.h"

namespace kaldren::patcher {
namespace {

constexpr std::size_t kDownloadChunk = 262144;

struct alignas(32) DownloadBuffer {
  std::byte bytes[kDownloadChunk];
};

std::uint64_t bytes_present(const std::filesystem::path& destination) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(destination, error)) return 0;
  const std::uintmax_t size = std::filesystem::file_size(destination, error);
  return error ? 0 : static_cast<std::uint64_t>(size);
}

std::string utf8_path(const std::filesystem::path& path) { return to_utf8_lenient(path.wstring()); }

UniqueHandle open_destination(const std::filesystem::path& destination, bool rewrite, std::uint64_t offset) {
  UniqueHandle file(CreateFileW(destination.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                rewrite ? CREATE_ALWAYS : OPEN_ALWAYS,
                                FILE_FLAG_SEQUENTIAL_SCAN | FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    const DWORD code = GetLastError();
    throw_win32(category_for_win32(code), "Could not create " + utf8_path(destination), code);
  }
  LARGE_INTEGER position{};
  position.QuadPart = static_cast<LONGLONG>(offset);
  if (!SetFilePointerEx(file.get(), position, nullptr, FILE_BEGIN) || !SetEndOfFile(file.get())) {
    throw_win32(ErrorCategory::io, "Could not resume " + utf8_path(destination), GetLastError());
  }
  return file;
}

void write_chunk(HANDLE file, const std::byte* bytes, std::size_t size, const std::filesystem::path& destination) {
  DWORD written = 0;
  if (!WriteFile(file, bytes, static_cast<DWORD>(size), &written, nullptr) || written != size) {
    DWORD code = GetLastError();
    // A short write without an error code means the volume ran out of room.
    if (code == ERROR_SUCCESS) code = ERROR_DISK_FULL;
    throw_win32(category_for_win32(code), "Could not write " + utf8_path(destination), code);
  }
}

}  // namespace

void HttpTransport::download_once(std::string_view path, const std::filesystem::path& destination,
                                  std::uint64_t size, std::stop_token stop,
                                  const DownloadProgress& progress) const {
  std::uint64_t present = bytes_present(destination);
  if (present > size) {
    delete_file(destination);
    present = 0;
  }
  if (present == size) {
    if (progress) progress(present);
    return;
  }

  Request request(connection_.get(), request_target(path), secure_, stop);
  if (present > 0) request.add_header(L"Range: bytes=" + std::to_wstring(present) + L"-");
  request.send(path);
  const std::uint32_t status = request.status();
  bool rewrite = false;
  switch (http::classify_status(http::RequestKind::object, status)) {
    case http::StatusOutcome::whole_object:
      rewrite = true;
      present = 0;
      break;
    case http::StatusOutcome::resume:
      if (!http::content_range_matches(request.header(WINHTTP_QUERY_CONTENT_RANGE), present, size)) {
        delete_file(destination);
        throw TransientError(fmt::format("The patch server sent an unexpected range for {}", path));
      }
      break;
    case http::StatusOutcome::refused_resume:
      delete_file(destination);
      throw TransientError(fmt::format("The patch server refused to resume {}", path));
    default:
      http::throw_status_error(http::RequestKind::object, status, path,
                               http::parse_retry_after(request.header(WINHTTP_QUERY_RETRY_AFTER)));
  }

  UniqueHandle file = open_destination(destination, rewrite, present);
  const auto buffer = std::make_unique_for_overwrite<DownloadBuffer>();
  std::uint64_t offset = present;
  for (;;) {
    const std::size_t received = request.read(buffer->bytes, kDownloadChunk);
    if (received == 0) break;
    if (received > size - offset) {
      file.reset();
      delete_file(destination);
      throw PatchError(ErrorCategory::server, fmt::format("{} is larger than the release declares", path));
    }
    write_chunk(file.get(), buffer->bytes, received, destination);
    offset += received;
    if (progress) progress(offset);
  }
  if (offset != size) {
    throw TransientError(fmt::format("The connection closed before {} finished", path));
  }
}

}  // namespace kaldren::patcher
