// One attempt of an object download: resumes the partial file the caller names, and
// keeps it whenever the next attempt can continue from it.
#include <windows.h>
#include <winhttp.h>

#include <memory>

#include <fmt/format.h>

#include "core/error.h"
#include "core/text.h"
#include "system/file_operations.h"
#include "transport/http_request_win.h"
#include "transport/http_rules.h"
#include "transport/http_transport.h"
#include "transport/partial_download.h"

namespace kaldren::patcher {
namespace {

constexpr std::size_t kDownloadChunk = 262144;

struct alignas(32) DownloadBuffer {
  std::byte bytes[kDownloadChunk];
};

std::unique_ptr<OpenFile> open_destination(FileSystem& fs, const std::filesystem::path& destination, bool rewrite,
                                           std::uint64_t offset) {
  std::unique_ptr<OpenFile> file = open_for_write(fs, destination, !rewrite);
  // A new or emptied file is already at 0 (each call is a round trip to Wine's server).
  if (offset == 0) return file;
  if (const SystemCode error = file->truncate(offset); error != 0) {
    throw_win32(ErrorCategory::io, "Could not resume " + display_path(destination), error);
  }
  return file;
}

}  // namespace

void HttpTransport::download_once(std::string_view path, const std::filesystem::path& destination,
                                  std::uint64_t size, std::stop_token stop,
                                  const DownloadProgress& progress) const {
  const std::optional<std::uint64_t> resume_at = bytes_to_resume(fs_, destination, size, progress);
  if (!resume_at) return;
  std::uint64_t present = *resume_at;

  Request request(connection_.get(), request_target(path), secure_, stop);
  if (present > 0) request.add_header(L"Range: bytes=" + std::to_wstring(present) + L"-");
  request.send(path);
  request.before_header_read = before_header_read;
  const std::uint32_t status = request.status();
  bool rewrite = false;
  switch (http::classify_status(http::RequestKind::object, status)) {
    case http::StatusOutcome::whole_object:
      rewrite = true;
      present = 0;
      break;
    case http::StatusOutcome::resume:
      if (!http::content_range_matches(request.header(WINHTTP_QUERY_CONTENT_RANGE), present, size)) {
        delete_file(fs_, destination);
        throw TransientError(fmt::format("The patch server sent an unexpected range for {}", path));
      }
      break;
    case http::StatusOutcome::refused_resume:
      delete_file(fs_, destination);
      throw TransientError(fmt::format("The patch server refused to resume {}", path));
    default:
      http::throw_status_error(http::RequestKind::object, status, path,
                               http::parse_retry_after(request.header(WINHTTP_QUERY_RETRY_AFTER)));
  }

  std::unique_ptr<OpenFile> file = open_destination(fs_, destination, rewrite, present);
  const auto buffer = std::make_unique_for_overwrite<DownloadBuffer>();
  std::uint64_t offset = present;
  for (;;) {
    const std::size_t received = request.read(buffer->bytes, kDownloadChunk);
    if (received == 0) break;
    if (received > size - offset) {
      file.reset();
      delete_file(fs_, destination);
      throw PatchError(ErrorCategory::server, fmt::format("{} is larger than the release declares", path));
    }
    write_bytes(*file, destination, std::span(reinterpret_cast<const std::uint8_t*>(buffer->bytes), received));
    offset += received;
    if (progress) progress(offset);
  }
  if (offset != size) {
    throw TransientError(fmt::format("The connection closed before {} finished", path));
  }
}

}  // namespace kaldren::patcher
