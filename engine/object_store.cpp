// Staging of published objects: download, stored-digest check, unpacking with
// content-digest check, and the final name only for verified content.
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "core/text.h"
#include "engine/object_store.h"
#include "engine/parallel_runner.h"
#include "protocol/encoding.h"
#include "protocol/manifest.h"
#include "system/file_operations.h"

namespace kaldren::patcher {
namespace {

std::filesystem::path with_suffix(std::filesystem::path path, const char* suffix) {
  path += suffix;
  return path;
}

constexpr std::size_t kDigestHexLength = 64;
constexpr std::size_t kSubFolderDigits = 2;

// The digest of a flat staging name ("<64 hex>" or "<64 hex>.part") and its suffix;
// nothing for any other name.
template <class Char>
std::optional<std::pair<std::string, std::string>> flat_staged_name(const std::basic_string<Char>& name) {
  if (name.size() < kDigestHexLength) return std::nullopt;
  std::string hex;
  std::string rest;
  for (std::size_t i = 0; i < name.size(); ++i) {
    const Char c = name[i];
    if (c <= 0 || c > 0x7f) return std::nullopt;
    (i < kDigestHexLength ? hex : rest).push_back(static_cast<char>(c));
  }
  if (!parse_sha256_hex(hex) || !(rest.empty() || rest == ".part")) return std::nullopt;
  return std::pair{std::move(hex), std::move(rest)};
}

// The staging sub-folder that holds `path`, and the staging folder above it.
void create_sub_folder(FileSystem& fs, const std::filesystem::path& path) {
  const std::filesystem::path folder = path.parent_path();
  if (const SystemCode error = create_folders(fs, folder); error != 0) {
    throw PatchError(ErrorCategory::io, "Could not create " + display_path(folder) + ": " + system_message(error));
  }
}

// Staged names are free to take (the content file was found missing or deleted): one
// move, and replace_file's look-ups only when it fails. Under Wine each look-up of a
// name not there yet reads its folder.
void move_over(FileSystem& fs, const std::filesystem::path& source, const std::filesystem::path& target) {
  if (fs.move(source, target) != 0) replace_file(fs, source, target);
}

// Clean-up on a path that already fails: the original failure is the one to report.
void delete_quietly(FileSystem& fs, const std::filesystem::path& path) noexcept {
  try {
    delete_file(fs, path);
  } catch (...) {
  }
}

}  // namespace

ObjectStore::ObjectStore(FileSystem& fs, std::filesystem::path staging_folder, Transport& transport)
    : fs_(fs), staging_folder_(std::move(staging_folder)), transport_(transport) {}

ObjectStore::~ObjectStore() {
  if (const std::uint64_t peak = decoders_.peak_bytes(); peak > 0) {
    log(LogLevel::debug, "The zstd decoders held at most {} bytes at once", peak);
  }
}

std::filesystem::path ObjectStore::path_of(const std::string& hex) const {
  return staging_folder_ / hex.substr(0, kSubFolderDigits) / hex;
}

std::filesystem::path ObjectStore::staged_path(const ObjectRef& ref) const { return path_of(to_hex(ref.sha256)); }

void ObjectStore::adopt_flat_layout() noexcept {
  try {
    const FolderContents contents = fs_.list(staging_folder_);
    for (const FolderEntry& entry : contents.entries) {
      if (entry.status.folder) continue;
      const std::filesystem::path flat = staging_folder_ / entry.name;
      if (const auto name = flat_staged_name(entry.name)) {
        const std::filesystem::path target = with_suffix(path_of(name->first), name->second.c_str());
        try {
          // A copy already in its sub-folder is as good as this one: it is overwritten,
          // and the next stage() checks whatever stays.
          replace_file(fs_, flat, target);
          continue;
        } catch (...) {
        }
      }
      delete_quietly(fs_, flat);
    }
  } catch (...) {
    // Out of memory listing the folder: the files stay until the staging folder goes.
  }
}

void ObjectStore::keep_only(std::span<const ObjectRef> refs) noexcept {
  try {
    std::set<std::filesystem::path::string_type> keep;
    for (const ObjectRef& ref : refs) {
      keep.insert(std::filesystem::path(to_hex(ref.sha256)).native());
      keep.insert(std::filesystem::path(to_hex(ref.stored_sha256)).native());
      keep.insert(std::filesystem::path(to_hex(ref.stored_sha256) + ".part").native());
    }
    for (const FolderEntry& sub : fs_.list(staging_folder_).entries) {
      if (!sub.status.folder) continue;
      const std::filesystem::path folder = staging_folder_ / sub.name;
      for (const FolderEntry& entry : fs_.list(folder).entries) {
        if (!entry.status.folder && !keep.contains(entry.name)) delete_quietly(fs_, folder / entry.name);
      }
    }
  } catch (...) {
    // Out of memory listing: the files stay until the staging folder goes.
  }
}

std::filesystem::path ObjectStore::stage(const ObjectRef& ref, std::stop_token stop, const ByteProgress& progress) {
  const std::filesystem::path target = staged_path(ref);
  create_sub_folder(fs_, target);
  const HashBuffers::Lease buffer = buffers_.take();

  // Content left by an earlier run is reused when it still verifies; so are stored
  // bytes that another object of this update has as its content (a file shipped
  // both as it is and as its own zstd form is fetched once). Reused content is flushed
  // too, in the same open: earlier launchers gave objects stored as is their staged name
  // before flushing them, and nothing unflushed may be installed.
  if (const auto info = file_info(fs_, target); info && info->size == ref.size) {
    if (sha256_and_flush_file(fs_, target, stop, buffer.bytes()) == ref.sha256) {
      if (progress) progress(ref.stored_size);
      return target;
    }
    delete_file(fs_, target);
  }
  const std::string publication_path = object_path(ref);
  const std::filesystem::path stored_as_content = path_of(to_hex(ref.stored_sha256));
  if (ref.compressed) {
    if (const auto info = file_info(fs_, stored_as_content);
        info && info->size == ref.stored_size &&
        unpack_into(ref, stored_as_content, target, publication_path, stop, buffer.bytes())) {
      if (progress) progress(ref.stored_size);
      return target;
    }
  }

  const std::filesystem::path partial = with_suffix(stored_as_content, ".part");
  if (partial.parent_path() != target.parent_path()) create_sub_folder(fs_, partial);
  // Downloads of zero bytes create no file, yet the steps below expect one.
  if (ref.stored_size == 0) write_file_atomic(fs_, partial, {});

  const std::uint64_t tries = transport_.source_count() + 1;
  const DownloadProgress forward = [&progress](std::uint64_t bytes_present) {
    if (progress) progress(bytes_present);
  };
  for (std::uint64_t copy_index = 0;;) {
    transport_.download(publication_path, partial, ref.stored_size, stop, forward, copy_index);
    // An uncompressed object is the content itself: it must reach the disk before it
    // takes its final name, or a power cut soon after the install could leave a game
    // file whose bytes never arrived while the saved index vouches for it (hashed and
    // flushed through one handle). A compressed one is hashed as it is unpacked, in one
    // pass, and takes its staged name once both digests hold.
    const bool intact = ref.compressed
                            ? unpack_into(ref, partial, target, publication_path, stop, buffer.bytes())
                            : sha256_and_flush_file(fs_, partial, stop, buffer.bytes()) == ref.stored_sha256;
    if (!intact) {
      delete_file(fs_, partial);
      if (++copy_index >= tries) {
        throw PatchError(ErrorCategory::security, "A downloaded file failed verification (" + publication_path +
                                                      "). The patch server or the network returned altered data.");
      }
      log(LogLevel::warn, "Discarding a copy of {} that failed verification; trying again", publication_path);
      continue;
    }
    if (ref.compressed) {
      if (fs_.remove_file(partial) != 0) delete_file(fs_, partial);
    } else {
      move_over(fs_, partial, target);
    }
    return target;
  }
}

bool ObjectStore::unpack_into(const ObjectRef& ref, const std::filesystem::path& source,
                              const std::filesystem::path& target, const std::string& publication_path,
                              std::stop_token stop, std::span<std::uint8_t> buffer) {
  const std::filesystem::path unpacked = with_suffix(target, ".tmp");
  UnpackDigests digests{};
  std::exception_ptr failure;
  try {
    digests = unpack_zstd(fs_, source, unpacked, ref.size, stop, buffer, decoders_, ref.stored_sha256);
  } catch (const PatchError& error) {
    delete_quietly(fs_, unpacked);
    if (error.category() == ErrorCategory::cancelled) throw;
    failure = std::current_exception();
    // It stopped early: whether the stored bytes are at fault needs all of them.
    digests.stored = sha256_file(fs_, source, stop, buffer);
  } catch (...) {
    delete_quietly(fs_, unpacked);
    throw;
  }
  if (digests.stored != ref.stored_sha256) {
    delete_quietly(fs_, unpacked);
    return false;
  }
  if (failure) std::rethrow_exception(failure);
  if (digests.content != ref.sha256) {
    delete_quietly(fs_, unpacked);
    delete_quietly(fs_, source);
    throw PatchError(ErrorCategory::security,
                     "An unpacked file failed verification (" + publication_path + "). The publication is inconsistent.");
  }
  try {
    move_over(fs_, unpacked, target);
  } catch (...) {
    delete_quietly(fs_, unpacked);
    throw;
  }
  return true;
}

void ObjectStore::stage_all(std::span<const ObjectRef> refs, std::uint32_t threads, std::stop_token stop,
                            const std::function<void(std::size_t, std::uint64_t)>& progress,
                            const std::function<void(std::size_t)>& done) {
  // References that share stored bytes (a file as it is and as its own zstd form) go to
  // one worker, the uncompressed one first: its staged content then serves the other,
  // and no two workers ever write the same partial file.
  std::vector<std::vector<std::size_t>> groups;
  std::map<Sha256Digest, std::size_t> group_of_stored;
  for (std::size_t index = 0; index < refs.size(); ++index) {
    const auto [found, added] = group_of_stored.try_emplace(refs[index].stored_sha256, groups.size());
    if (added) groups.emplace_back();
    std::vector<std::size_t>& group = groups[found->second];
    group.insert(refs[index].compressed ? group.end() : group.begin(), index);
  }
  run_parallel(groups.size(), threads, std::move(stop), [&](std::size_t group, std::stop_token item_stop) {
    for (const std::size_t index : groups[group]) {
      stage(refs[index], item_stop, [&progress, index](std::uint64_t bytes_present) {
        if (progress) progress(index, bytes_present);
      });
      if (done) done(index);
    }
  });
}

std::string ObjectStore::read_document(const ObjectRef& ref, std::stop_token stop) {
  if (ref.size > kMaxManifestDocumentBytes) {
    throw PatchError(ErrorCategory::security, "A referenced document is larger than allowed");
  }
  return read_file(fs_, stage(ref, std::move(stop)), kMaxManifestDocumentBytes);
}

}  // namespace kaldren::patcher
