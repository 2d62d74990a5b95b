// The disk as the launcher sees it: a few primitive calls shaped like Win32's, each
// answering 0 or a Win32 error code, so that the Windows implementation is a thin
// layer over the system and the in-memory twin for tests fails the same way.
// Policy (messages, categories, retries against locks) lives above, in
// file_operations.h, and is shared by both implementations.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace kaldren::patcher {

// 0 for success, otherwise a Win32 error code (2 file not found, 3 path not found,
// 5 access denied, 32 sharing violation, 112 disk full, 145 folder not empty, ...).
using SystemCode = std::uint32_t;

namespace system_code {
inline constexpr SystemCode success = 0;
inline constexpr SystemCode file_not_found = 2;
inline constexpr SystemCode path_not_found = 3;
inline constexpr SystemCode access_denied = 5;
inline constexpr SystemCode not_ready = 21;
inline constexpr SystemCode sharing_violation = 32;
inline constexpr SystemCode lock_violation = 33;
inline constexpr SystemCode handle_disk_full = 39;
inline constexpr SystemCode file_exists = 80;
inline constexpr SystemCode disk_full = 112;
inline constexpr SystemCode folder_not_empty = 145;
inline constexpr SystemCode already_exists = 183;
inline constexpr SystemCode not_a_folder = 267;
inline constexpr SystemCode user_mapped_file = 1224;
}  // namespace system_code

// What a name stands for, without opening it (GetFileAttributesExW).
struct FileStatus {
  bool folder = false;
  bool read_only = false;
  bool hidden = false;         // hidden or system: Windows will not create a file over it
  bool reparse_point = false;  // a link or junction
  std::uint64_t size = 0;      // files only
  std::uint64_t modified = 0;  // last write, 100 ns ticks since 1601-01-01 UTC
};

struct FolderEntry {
  std::filesystem::path::string_type name;  // the name as stored, without the folder
  FileStatus status;
};

struct FolderContents {
  SystemCode open_error = 0;         // the listing could not start (2, 3, 267: no such folder)
  SystemCode enumeration_error = 0;  // it started but stopped early
  std::vector<FolderEntry> entries;  // without "." and ".."
};

struct OpenRequest {
  enum class Access { read, write, read_write };
  enum class Disposition { open_existing, create_always, open_always };
  enum Share : unsigned { share_none = 0, share_read = 1, share_write = 2, share_delete = 4 };
  Access access = Access::read;
  unsigned share = share_none;  // what other openers may do meanwhile
  Disposition disposition = Disposition::open_existing;
  bool sequential = false;       // a hint: read or written front to back
  bool delete_on_close = false;  // a temporary file the system removes on close
};

// An open file. Reads and writes move one position; every call answers a code.
// Closed on destruction. One thread at a time.
class OpenFile {
 public:
  virtual ~OpenFile() = default;
  // Up to `buffer.size()` bytes at the position; `count` 0 at the end of the file.
  virtual SystemCode read(std::span<std::uint8_t> buffer, std::size_t& count) = 0;
  // All of `bytes` or a failure (a full disk is 112, never a short write).
  virtual SystemCode write(std::span<const std::uint8_t> bytes) = 0;
  // Makes the bytes written so far durable (FlushFileBuffers).
  virtual SystemCode flush() = 0;
  virtual SystemCode size(std::uint64_t& bytes) = 0;
  // Cuts or extends the file to `bytes` and puts the position there.
  virtual SystemCode truncate(std::uint64_t bytes) = 0;
  // Puts the position at `offset` bytes from the start (past the end, reads give 0).
  virtual SystemCode seek(std::uint64_t offset) = 0;
};

// Implementations are safe to call from several threads at once.
class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // 2 or 3 when nothing is there.
  virtual SystemCode status(const std::filesystem::path& path, FileStatus& status) = 0;
  virtual SystemCode set_read_only(const std::filesystem::path& path, bool read_only) = 0;
  // Sets the hidden attribute; clearing it clears the system attribute too.
  virtual SystemCode set_hidden(const std::filesystem::path& path, bool hidden) = 0;
  // One folder whose parent exists; 183 when the name is taken.
  virtual SystemCode create_folder(const std::filesystem::path& path) = 0;
  // An empty folder, or a link to one (only the link goes); 145 when not empty.
  virtual SystemCode remove_folder(const std::filesystem::path& path) = 0;
  virtual SystemCode open(const std::filesystem::path& path, const OpenRequest& request,
                          std::unique_ptr<OpenFile>& file) = 0;
  // Moves a file over `target` (replacing a file there), durable when it returns
  // (write-through), across volumes too.
  virtual SystemCode move(const std::filesystem::path& source, const std::filesystem::path& target) = 0;
  // Copies a file over `target`; the copy is not yet durable.
  virtual SystemCode copy(const std::filesystem::path& source, const std::filesystem::path& target) = 0;
  virtual SystemCode remove_file(const std::filesystem::path& path) = 0;
  // The entries directly in the folder; links are listed, not followed.
  virtual FolderContents list(const std::filesystem::path& folder) = 0;
  // Bytes this user may still write on the volume of an existing folder.
  virtual SystemCode free_space(const std::filesystem::path& folder, std::uint64_t& bytes) = 0;
  // Whether this program may use paths beyond MAX_PATH: it declares itself long-path
  // aware and the system-wide setting is on; false when either cannot be read.
  virtual bool long_paths_enabled() = 0;
  // The process id, for names of probe files that must not collide between processes.
  virtual std::uint32_t process_id() = 0;
  // Waits before the next attempt at a locked file.
  virtual void pause(std::chrono::milliseconds duration) = 0;
  // The programs that hold these files open, as people know them ("Name (pid N)"), for
  // the message of a failure; empty when the system cannot tell.
  virtual std::vector<std::string> programs_using(const std::vector<std::filesystem::path>& paths) = 0;
};

// The machine's own file system (Win32 on Windows). Lives for the whole process.
FileSystem& system_file_system();

}  // namespace kaldren::patcher
