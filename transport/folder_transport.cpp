#include "transport/folder_transport.h"

#include <algorithm>
#include <memory>

#include <fmt/format.h>

#include "core/error.h"
#include "core/text.h"
#include "protocol/path_rule.h"
#include "system/file_operations.h"
#include "transport/http_rules.h"
#include "transport/partial_download.h"

namespace kaldren::patcher {
namespace {

// Each read is a hop to a helper thread and back: large reads keep the hops few.
constexpr std::size_t kChunk = 1048576;
constexpr std::size_t kDocumentChunk = 16384;

const char* const kAddressRefused =
    "The patch folder address must be file:///D:/folder or file://server/share/folder";

[[noreturn]] void refuse_address() { throw PatchError(ErrorCategory::configuration, kAddressRefused); }

bool starts_with_ignoring_case(std::wstring_view text, std::wstring_view prefix) {
  return text.size() >= prefix.size() && equal_ignoring_case(text.substr(0, prefix.size()), prefix);
}

// One name of the address, unescaped; only names that stay one name below the folder
// before them.
std::wstring folder_name(std::wstring_view segment) {
  const std::optional<std::string> decoded = decode_percent_escapes(segment);
  if (!decoded) refuse_address();
  const std::string& bytes = *decoded;
  if (bytes.empty() || bytes == "." || bytes == "..") refuse_address();
  for (const char c : bytes) {
    if (static_cast<unsigned char>(c) < 0x20 || c == '/' || c == '\\' || c == ':') refuse_address();
  }
  try {
    return to_utf16(bytes);
  } catch (const PatchError&) {
    refuse_address();
  }
}

// Codes of a share that cannot be reached, as opposed to a file it lacks.
bool is_network_code(SystemCode code) {
  switch (code) {
    case 51:    // ERROR_REM_NOT_LIST
    case 53:    // ERROR_BAD_NETPATH
    case 59:    // ERROR_UNEXP_NET_ERR
    case 64:    // ERROR_NETNAME_DELETED
    case 66:    // ERROR_BAD_DEV_TYPE (Wine's answer for a server it cannot find)
    case 67:    // ERROR_BAD_NET_NAME
    case 121:   // ERROR_SEM_TIMEOUT
    case 1203:  // ERROR_NO_NET_OR_BAD_PATH
    case 1222:  // ERROR_NO_NETWORK
    case 1231:  // ERROR_NETWORK_UNREACHABLE
    case 1232:  // ERROR_HOST_UNREACHABLE
      return true;
    default:
      return false;
  }
}

[[noreturn]] void throw_read_failure(std::string_view path, SystemCode code) {
  throw_win32(is_network_code(code) ? ErrorCategory::network : ErrorCategory::io,
              fmt::format("Could not read {} from the patch folder", path), code);
}

void check_stop(const std::stop_token& stop) {
  if (stop.stop_requested()) throw_cancelled();
}

}  // namespace

bool is_folder_source(std::wstring_view address) { return starts_with_ignoring_case(address, L"file:"); }

std::wstring folder_of_source(std::wstring_view address) {
  if (!starts_with_ignoring_case(address, L"file://")) refuse_address();
  std::wstring_view rest = address.substr(7);
  while (!rest.empty() && rest.back() == L'/') rest.remove_suffix(1);
  if (rest.find_first_of(L"?#\\") != std::wstring_view::npos) refuse_address();
  const std::size_t slash = rest.find(L'/');
  if (slash == std::wstring_view::npos) refuse_address();
  const std::wstring_view host = rest.substr(0, slash);
  std::wstring_view names = rest.substr(slash + 1);
  std::wstring folder;
  if (host.empty() || equal_ignoring_case(host, L"localhost")) {
    const wchar_t letter = names.empty() ? L'\0' : static_cast<wchar_t>(names[0] | 0x20);
    if (names.size() < 2 || letter < L'a' || letter > L'z' || names[1] != L':' ||
        (names.size() > 2 && names[2] != L'/')) {
      refuse_address();
    }
    // "D:" alone is the current folder of drive D; its root is "D:\".
    folder = std::wstring(names.substr(0, 2)) + L"\\";
    names.remove_prefix(std::min<std::size_t>(3, names.size()));
  } else {
    // A share needs its share name; the host is a plain server name.
    if (host.find_first_of(L"%@:[]") != std::wstring_view::npos || host == L"." || names.empty()) refuse_address();
    folder = L"\\\\" + std::wstring(host) + L"\\";
  }
  for (bool first = true; !names.empty(); first = false) {
    const std::size_t end = names.find(L'/');
    if (!first) folder += L'\\';
    folder += folder_name(names.substr(0, end));
    names.remove_prefix(end == std::wstring_view::npos ? names.size() : end + 1);
    if (end != std::wstring_view::npos && names.empty()) refuse_address();
  }
  return folder;
}

FolderTransport::FolderTransport(std::filesystem::path folder, std::string name, FileSystem& fs,
                                 std::chrono::milliseconds open_patience, std::chrono::milliseconds read_patience)
    : folder_(std::move(folder)),
      name_(std::move(name)),
      fs_(fs),
      open_patience_(open_patience),
      read_patience_(read_patience) {}

void FolderTransport::wait_for(std::string_view path, std::function<void()> call, const std::stop_token& stop,
                               std::chrono::milliseconds patience) {
  switch (calls_.run(std::move(call), stop, patience)) {
    case AbandonableCalls::Outcome::done:
      return;
    case AbandonableCalls::Outcome::stopped:
      throw_cancelled();
    case AbandonableCalls::Outcome::out_of_patience:
      break;
  }
  throw PatchError(ErrorCategory::network, fmt::format("The patch folder did not answer for {} within {} seconds",
                                                       path, (patience.count() + 999) / 1000));
}

std::shared_ptr<OpenFile> FolderTransport::open_source(std::string_view path, Kind kind, std::uint64_t& size,
                                                       const std::stop_token& stop) {
  if (!http::is_publication_path(path) || !is_safe_path(path)) {
    throw PatchError(ErrorCategory::internal, "Invalid publication path " + std::string(path));
  }
  // What the helper finds; it may outlive this call.
  struct Found {
    SystemCode status_error = 0;
    FileStatus status;
    SystemCode open_error = 0;
    std::shared_ptr<OpenFile> file;
    SystemCode size_error = 0;
    std::uint64_t size = 0;
  };
  const auto found = std::make_shared<Found>();
  wait_for(
      path,
      [found, file = resolve_path(folder_, path), &fs = fs_] {
        if ((found->status_error = fs.status(file, found->status)) != 0 || found->status.folder) return;
        OpenRequest request;
        request.share = OpenRequest::share_read | OpenRequest::share_write | OpenRequest::share_delete;
        request.sequential = true;
        std::unique_ptr<OpenFile> opened;
        if ((found->open_error = fs.open(file, request, opened)) != 0) return;
        found->file = std::move(opened);
        found->size_error = found->file->size(found->size);
      },
      stop, open_patience_);
  const SystemCode error = found->status_error;
  if (error == system_code::file_not_found || error == system_code::path_not_found || (error == 0 && found->status.folder)) {
    throw PatchError(ErrorCategory::server, kind == Kind::document
                                                ? fmt::format("The patch folder has no {}", path)
                                                : fmt::format("The patch folder is missing {}", path));
  }
  for (const SystemCode failure : {error, found->open_error, found->size_error}) {
    if (failure != 0) throw_read_failure(path, failure);
  }
  size = found->size;
  return found->file;
}

std::size_t FolderTransport::read_some(const std::shared_ptr<OpenFile>& source, std::string_view path,
                                       const std::shared_ptr<std::vector<std::uint8_t>>& buffer, std::size_t count,
                                       const std::stop_token& stop) {
  const auto read = std::make_shared<std::pair<SystemCode, std::size_t>>();
  wait_for(
      path, [source, buffer, count, read] { read->first = source->read(std::span(buffer->data(), count), read->second); },
      stop, read_patience_);
  if (read->first != 0) throw_read_failure(path, read->first);
  return read->second;
}

std::string FolderTransport::fetch(std::string_view path, std::uint64_t byte_cap, std::stop_token stop) {
  check_stop(stop);
  std::uint64_t size = 0;
  const std::shared_ptr<OpenFile> source = open_source(path, Kind::document, size, stop);
  const std::string too_large = fmt::format("{} is larger than allowed", path);
  if (size > byte_cap) throw PatchError(ErrorCategory::server, too_large);
  std::string body;
  const auto chunk = std::make_shared<std::vector<std::uint8_t>>(kDocumentChunk);
  for (;;) {
    check_stop(stop);
    const std::size_t received = read_some(source, path, chunk, kDocumentChunk, stop);
    if (received == 0) return body;
    // The file may grow while it is read.
    if (received > byte_cap - body.size()) throw PatchError(ErrorCategory::server, too_large);
    body.append(reinterpret_cast<const char*>(chunk->data()), received);
  }
}

void FolderTransport::download(std::string_view path, const std::filesystem::path& destination,
                               std::uint64_t size, std::stop_token stop, const DownloadProgress& progress,
                               std::uint64_t /*copy_index*/) {
  check_stop(stop);
  const std::optional<std::uint64_t> resume_at = bytes_to_resume(fs_, destination, size, progress);
  if (!resume_at) return;
  const std::uint64_t present = *resume_at;

  std::uint64_t source_size = 0;
  const std::shared_ptr<OpenFile> source = open_source(path, Kind::object, source_size, stop);
  const auto wrong_size = [&](const char* comparison) {
    return PatchError(ErrorCategory::server, fmt::format("{} is {} than the release declares", path, comparison));
  };
  if (source_size > size) throw wrong_size("larger");
  if (source_size < size) throw wrong_size("smaller");

  const auto buffer = std::make_shared<std::vector<std::uint8_t>>(kChunk);
  // The file system reads front to back only: the bytes already present are skipped.
  for (std::uint64_t skipped = 0; skipped < present;) {
    check_stop(stop);
    const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, present - skipped));
    const std::size_t received = read_some(source, path, buffer, wanted, stop);
    if (received == 0) throw wrong_size("smaller");
    skipped += received;
  }

  std::unique_ptr<OpenFile> file = open_for_write(fs_, destination, true);
  if (const SystemCode error = file->truncate(present); error != 0) {
    throw_win32(ErrorCategory::io, "Could not resume " + display_path(destination), error);
  }
  std::uint64_t offset = present;
  for (;;) {
    check_stop(stop);
    const std::size_t received = read_some(source, path, buffer, kChunk, stop);
    if (received == 0) break;
    if (received > size - offset) {
      file.reset();
      delete_file(fs_, destination);
      throw wrong_size("larger");
    }
    write_bytes(*file, destination, std::span<const std::uint8_t>(buffer->data(), received));
    offset += received;
    if (progress) progress(offset);
  }
  if (offset != size) throw wrong_size("smaller");
}

std::string FolderTransport::name() const { return name_; }

}  // namespace kaldren::patcher
