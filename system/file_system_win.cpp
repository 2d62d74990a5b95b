// The file system of Windows: each primitive is one or two Win32 calls, and the code
// of a failed call is taken right where it failed.
#include <windows.h>

#include <algorithm>

#include "core/owned_handle.h"
#include "system/programs_using_win.h"
#include "system/file_system.h"

namespace kaldren::patcher {
namespace {

std::uint64_t join(DWORD high, DWORD low) { return (static_cast<std::uint64_t>(high) << 32) | low; }

FileStatus status_from(DWORD attributes, DWORD size_high, DWORD size_low, const FILETIME& written) {
  FileStatus status;
  status.folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  status.read_only = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
  status.hidden = (attributes & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
  status.reparse_point = (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
  status.size = status.folder ? 0 : join(size_high, size_low);
  status.modified = join(written.dwHighDateTime, written.dwLowDateTime);
  return status;
}

SystemCode last_error() { return static_cast<SystemCode>(GetLastError()); }

class WindowsFile final : public OpenFile {
 public:
  explicit WindowsFile(UniqueHandle handle) : handle_(std::move(handle)) {}

  SystemCode read(std::span<std::uint8_t> buffer, std::size_t& count) override {
    DWORD read = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(buffer.size(), 0x40000000));
    if (!ReadFile(handle_.get(), buffer.data(), want, &read, nullptr)) return last_error();
    count = read;
    return 0;
  }

  SystemCode write(std::span<const std::uint8_t> bytes) override {
    while (!bytes.empty()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size(), 0x40000000));
      DWORD written = 0;
      SetLastError(ERROR_SUCCESS);
      if (!WriteFile(handle_.get(), bytes.data(), chunk, &written, nullptr)) return last_error();
      // Success with nothing written is how a full RAM disk answers: the volume is full.
      if (written == 0) {
        const SystemCode error = last_error();
        return error != 0 ? error : ERROR_DISK_FULL;
      }
      bytes = bytes.subspan(written);
    }
    return 0;
  }

  SystemCode flush() override { return FlushFileBuffers(handle_.get()) ? 0 : last_error(); }

  SystemCode size(std::uint64_t& bytes) override {
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(handle_.get(), &size)) return last_error();
    bytes = static_cast<std::uint64_t>(size.QuadPart);
    return 0;
  }

  SystemCode truncate(std::uint64_t bytes) override {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(bytes);
    if (!SetFilePointerEx(handle_.get(), position, nullptr, FILE_BEGIN)) return last_error();
    return SetEndOfFile(handle_.get()) ? 0 : last_error();
  }

  SystemCode seek(std::uint64_t offset) override {
    LARGE_INTEGER position{};
    position.QuadPart = static_cast<LONGLONG>(offset);
    return SetFilePointerEx(handle_.get(), position, nullptr, FILE_BEGIN) ? 0 : last_error();
  }

 private:
  UniqueHandle handle_;
};

// Sets `set` or clears `cleared` among a file's attributes, keeping the others.
SystemCode change_attributes(const std::filesystem::path& path, bool on, DWORD set, DWORD cleared) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return last_error();
  DWORD changed = on ? attributes | set : attributes & ~cleared;
  if (changed == 0) changed = FILE_ATTRIBUTE_NORMAL;
  return SetFileAttributesW(path.c_str(), changed) ? 0 : last_error();
}

class WindowsFileSystem final : public FileSystem {
 public:
  SystemCode status(const std::filesystem::path& path, FileStatus& status) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return last_error();
    status = status_from(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow, data.ftLastWriteTime);
    return 0;
  }

  SystemCode set_read_only(const std::filesystem::path& path, bool read_only) override {
    return change_attributes(path, read_only, FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_READONLY);
  }

  SystemCode set_hidden(const std::filesystem::path& path, bool hidden) override {
    return change_attributes(path, hidden, FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
  }

  SystemCode create_folder(const std::filesystem::path& path) override {
    return CreateDirectoryW(path.c_str(), nullptr) ? 0 : last_error();
  }

  SystemCode remove_folder(const std::filesystem::path& path) override {
    return RemoveDirectoryW(path.c_str()) ? 0 : last_error();
  }

  SystemCode open(const std::filesystem::path& path, const OpenRequest& request,
                  std::unique_ptr<OpenFile>& file) override {
    DWORD access = GENERIC_READ | GENERIC_WRITE;
    if (request.access == OpenRequest::Access::read) access = GENERIC_READ;
    if (request.access == OpenRequest::Access::write) access = GENERIC_WRITE;
    DWORD share = 0;
    if (request.share & OpenRequest::share_read) share |= FILE_SHARE_READ;
    if (request.share & OpenRequest::share_write) share |= FILE_SHARE_WRITE;
    if (request.share & OpenRequest::share_delete) share |= FILE_SHARE_DELETE;
    DWORD disposition = OPEN_EXISTING;
    if (request.disposition == OpenRequest::Disposition::create_always) disposition = CREATE_ALWAYS;
    if (request.disposition == OpenRequest::Disposition::open_always) disposition = OPEN_ALWAYS;
    DWORD flags = FILE_ATTRIBUTE_NORMAL;
    if (request.sequential) flags |= FILE_FLAG_SEQUENTIAL_SCAN;
    if (request.delete_on_close) flags = FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE;
    UniqueHandle handle(CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr));
    if (!handle) return last_error();
    file = std::make_unique<WindowsFile>(std::move(handle));
    return 0;
  }

  SystemCode move(const std::filesystem::path& source, const std::filesystem::path& target) override {
    // Copy-allowed: a game sub-folder moved to another drive behind a junction is still
    // reachable; write-through: the move is on disk when the call returns.
    const DWORD flags = MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH | MOVEFILE_COPY_ALLOWED;
    return MoveFileExW(source.c_str(), target.c_str(), flags) ? 0 : last_error();
  }

  SystemCode copy(const std::filesystem::path& source, const std::filesystem::path& target) override {
    return CopyFileW(source.c_str(), target.c_str(), FALSE) ? 0 : last_error();
  }

  SystemCode remove_file(const std::filesystem::path& path) override {
    return DeleteFileW(path.c_str()) ? 0 : last_error();
  }

  FolderContents list(const std::filesystem::path& folder) override {
    FolderContents contents;
    const std::filesystem::path pattern = folder / L"*";
    WIN32_FIND_DATAW entry{};
    FindHandle search(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &entry, FindExSearchNameMatch, nullptr,
                                       FIND_FIRST_EX_LARGE_FETCH));
    if (!search) {
      contents.open_error = last_error();
      return contents;
    }
    do {
      const std::wstring_view name = entry.cFileName;
      if (name == L"." || name == L"..") continue;
      contents.entries.push_back({std::wstring(name), status_from(entry.dwFileAttributes, entry.nFileSizeHigh,
                                                                  entry.nFileSizeLow, entry.ftLastWriteTime)});
    } while (FindNextFileW(search.get(), &entry));
    if (const SystemCode error = last_error(); error != ERROR_NO_MORE_FILES) contents.enumeration_error = error;
    return contents;
  }

  SystemCode free_space(const std::filesystem::path& folder, std::uint64_t& bytes) override {
    ULARGE_INTEGER available{};
    if (!GetDiskFreeSpaceExW(folder.empty() ? nullptr : folder.c_str(), &available, nullptr, nullptr)) {
      return last_error();
    }
    bytes = available.QuadPart;
    return 0;
  }

  bool long_paths_enabled() override {
    // Windows lifts the limit only for a program whose manifest declares it long-path
    // aware, and only when the system-wide setting is on too.
    wchar_t declared[8] = {};
    SIZE_T length = 0;
    if (!QueryActCtxSettingsW(0, nullptr, L"http://schemas.microsoft.com/SMI/2016/WindowsSettings", L"longPathAware",
                              declared, std::size(declared), &length) ||
        CompareStringOrdinal(declared, -1, L"true", -1, TRUE) != CSTR_EQUAL) {
      return false;
    }
    DWORD value = 0;
    DWORD size = sizeof(value);
    const LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Control\\FileSystem",
                                        L"LongPathsEnabled", RRF_RT_REG_DWORD, nullptr, &value, &size);
    return status == ERROR_SUCCESS && value != 0;
  }

  std::uint32_t process_id() override { return GetCurrentProcessId(); }

  void pause(std::chrono::milliseconds duration) override { Sleep(static_cast<DWORD>(duration.count())); }

  std::vector<std::string> programs_using(const std::vector<std::filesystem::path>& paths) override {
    return windows_programs_using(paths);
  }
};

}  // namespace

FileSystem& system_file_system() {
  static WindowsFileSystem instance;
  return instance;
}

}  // namespace kaldren::patcher
