#include "transport/partial_download.h"

#include "system/file_operations.h"

namespace kaldren::patcher {

std::optional<std::uint64_t> bytes_to_resume(FileSystem& fs, const std::filesystem::path& destination,
                                             std::uint64_t size, const DownloadProgress& progress) {
  const std::optional<FileInfo> partial = file_info(fs, destination);
  const std::uint64_t present = partial ? partial->size : 0;
  if (present > size) {
    // Not a prefix of this object: no byte of it can be trusted.
    delete_file(fs, destination);
    return 0;
  }
  if (present < size) return present;
  if (progress) progress(present);
  return std::nullopt;
}

}  // namespace kaldren::patcher
