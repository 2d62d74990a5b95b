#include "transport/make_transport.h"

#include "core/text.h"
#include "transport/folder_transport.h"
#include "transport/http_transport.h"
#include "transport/mirrored_transport.h"

namespace kaldren::patcher {

namespace {

// A lone source has nowhere else to go, so it retries longer; behind fail-over a
// source gives up sooner and lets the next one answer.
constexpr int kSingleSourceAttempts = 6;
constexpr int kSingleSourceConnectTimeoutMs = 15000;
constexpr int kMirrorAttempts = 2;
constexpr int kMirrorConnectTimeoutMs = 8000;
constexpr std::int64_t kMirrorPenaltyMs = 60000;

// A folder is read through the file system whatever the other sources are; a server
// gets the retries and timeouts of its place in the list, and a folder waits for its
// share to open a file as long as for a server to connect (and for a read a minute, as
// for a server to send).
std::unique_ptr<Transport> source_transport(const std::wstring& address, int attempts, int connect_timeout_ms,
                                            FileSystem& fs) {
  if (is_folder_source(address)) {
    return std::make_unique<FolderTransport>(folder_of_source(address), to_utf8_lenient(address), fs,
                                             std::chrono::milliseconds(connect_timeout_ms));
  }
  return std::make_unique<HttpTransport>(address, attempts, connect_timeout_ms, fs);
}

}  // namespace

std::unique_ptr<Transport> make_transport(const std::vector<std::wstring>& sources, FileSystem& fs) {
  if (sources.empty()) throw PatchError(ErrorCategory::configuration, "No patch server is configured");
  if (sources.size() == 1) {
    return source_transport(sources.front(), kSingleSourceAttempts, kSingleSourceConnectTimeoutMs, fs);
  }
  std::vector<std::unique_ptr<Transport>> transports;
  transports.reserve(sources.size());
  for (const std::wstring& address : sources) {
    transports.push_back(source_transport(address, kMirrorAttempts, kMirrorConnectTimeoutMs, fs));
  }
  return std::make_unique<MirroredTransport>(std::move(transports), kMirrorPenaltyMs);
}

}  // namespace kaldren::patcher
