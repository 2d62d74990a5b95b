// The transport for a publication in a folder (a local drive, a disc, a network share):
// the same documents and objects as over HTTP, read through the FileSystem, for offline
// installs and updates. The release is verified above the transport, as for a server.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <span>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "core/abandonable_calls.h"
#include "system/file_system.h"
#include "transport/transport.h"

namespace kaldren::patcher {

// True for a "file:" address (any letter case): a folder, not a server.
bool is_folder_source(std::wstring_view address);

// The folder a file: address names, as Windows spells it: "file:///D:/a%20b" is D:\a b,
// "file:///E:" is E:\ and "file://server/share/a" is \\server\share\a. Escapes are
// decoded strictly; a name that is empty, "." or "..", or holds a separator, a colon
// or a control character is refused with PatchError configuration
// "The patch folder address must be file:///D:/folder or file://server/share/folder".
std::wstring folder_of_source(std::wstring_view address);

// Failures mirror the HTTP transport's: a missing document is server "The patch folder
// has no <path>", a missing object server "The patch folder is missing <path>", a
// document over the cap server "<path> is larger than allowed", an object of another
// size than declared server "<path> is larger|smaller than the release declares";
// a file the folder cannot give is "Could not read <path> from the patch folder" +
// system text, network when the share cannot be reached (so mirrors fail over), io
// otherwise; an invalid publication path internal; stop cancelled. A share that does
// not answer blocks in the system: the folder is read on helper threads, so that a stop
// ends a call at once and a call that takes longer than its patience (to find and open
// a file, or per read) fails as network "The patch folder did not answer for <path>
// within <n> seconds".
class FolderTransport final : public SingleSourceTransport {
 public:
  // `folder` holds the publication (its "v2" folder); `name` is the source as
  // configured. `fs` must outlive the transport and every call it left behind (the
  // system's file system does).
  FolderTransport(std::filesystem::path folder, std::string name, FileSystem& fs,
                  std::chrono::milliseconds open_patience = std::chrono::seconds(15),
                  std::chrono::milliseconds read_patience = std::chrono::seconds(60));

  std::string fetch(std::string_view path, std::uint64_t byte_cap, std::stop_token stop) override;
  // Resumes a partial destination by skipping as many bytes of the source file.
  void download(std::string_view path, const std::filesystem::path& destination, std::uint64_t size,
                std::stop_token stop, const DownloadProgress& progress, std::uint64_t copy_index) override;
  std::string name() const override;

 private:
  enum class Kind { document, object };
  std::shared_ptr<OpenFile> open_source(std::string_view path, Kind kind, std::uint64_t& size,
                                        const std::stop_token& stop);
  // Up to `count` bytes of the source into `buffer` (shared with a read that may outlive
  // the wait); 0 at its end.
  std::size_t read_some(const std::shared_ptr<OpenFile>& source, std::string_view path,
                        const std::shared_ptr<std::vector<std::uint8_t>>& buffer, std::size_t count,
                        const std::stop_token& stop);
  void wait_for(std::string_view path, std::function<void()> call, const std::stop_token& stop,
                std::chrono::milliseconds patience);

  std::filesystem::path folder_;
  std::string name_;
  FileSystem& fs_;
  std::chrono::milliseconds open_patience_;
  std::chrono::milliseconds read_patience_;
  AbandonableCalls calls_;
};

}  // namespace kaldren::patcher
