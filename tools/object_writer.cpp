#include "tools/object_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <fmt/format.h>
#include <openssl/evp.h>
#include <zstd.h>

#include "core/owned_handle.h"
#include "protocol/crypto.h"
#include "protocol/manifest.h"
#include "tools/signing_key.h"
#include "tools/site_lock.h"

namespace kaldren::patcher::publish {
namespace {

constexpr std::size_t kChunk = 1 << 20;

using Fd = UniqueDescriptor;

[[noreturn]] void fail_errno(const char* what, const std::filesystem::path& path) {
  throw ToolError(fmt::format("{} {}: {}", what, path.string(), std::strerror(errno)));
}

Fd open_read(const std::filesystem::path& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) fail_errno("Could not open", path);
  return fd;
}

std::size_t read_some(const Fd& fd, std::uint8_t* buffer, std::size_t size, const std::filesystem::path& path) {
  for (;;) {
    ssize_t n = ::read(fd.get(), buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) fail_errno("Could not read", path);
  }
}

void write_all(const Fd& fd, const std::uint8_t* data, std::size_t size, const std::filesystem::path& path) {
  while (size > 0) {
    ssize_t n = ::write(fd.get(), data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail_errno("Could not write", path);
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
}

void sync_and_close(Fd& fd, const std::filesystem::path& path) {
  if (::fsync(fd.get()) != 0) fail_errno("Could not sync", path);
  if (::close(fd.release()) != 0) fail_errno("Could not close", path);
}

// The file no longer holds what was hashed: publishing it would give launchers an
// object that fails its content digest.
[[noreturn]] void throw_changed(const std::filesystem::path& file) {
  throw ToolError(fmt::format("{} changed while it was published", file.string()));
}

// Removes the temporary file unless the write was committed.
struct TemporaryFile {
  std::filesystem::path path;
  ~TemporaryFile() {
    if (!path.empty()) {
      std::error_code ignored;
      std::filesystem::remove(path, ignored);
    }
  }
};

}  // namespace

ContentDigest hash_file(const std::filesystem::path& file) {
  Fd fd = open_read(file);
  Sha256 hash;
  ContentDigest result;
  std::vector<std::uint8_t> buffer(kChunk);
  for (;;) {
    std::size_t n = read_some(fd, buffer.data(), buffer.size(), file);
    if (n == 0) break;
    hash.update(std::span<const std::uint8_t>(buffer.data(), n));
    result.size += n;
  }
  result.sha256 = hash.finish();
  return result;
}

std::filesystem::path object_file(const std::filesystem::path& site, const ObjectRef& ref) {
  return site / object_path(ref);
}

ObjectWriter::ObjectWriter(std::filesystem::path site, int level) : site_(std::move(site)), level_(level) {}

std::filesystem::path ObjectWriter::temporary_path() {
  auto folder = site_work_folder(site_);
  std::filesystem::create_directories(folder);
  return folder / fmt::format(".tmp-{}-{}", ::getpid(), counter_.fetch_add(1));
}

bool ObjectWriter::has_object(const ObjectRef& ref) {
  struct stat info{};
  auto path = object_file(site_, ref);
  if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
  // A name and a size say nothing about a copy damaged on the way or on the disk; one
  // that stayed would fail every launcher after each republish.
  bool sound = static_cast<std::uint64_t>(info.st_size) == ref.stored_size;
  if (sound) {
    const ContentDigest stored = hash_file(path);
    sound = stored.size == ref.stored_size && stored.sha256 == ref.stored_sha256;
  }
  if (!sound) {
    std::lock_guard lock(written_mutex_);
    damaged_paths_.insert(object_path(ref));
  }
  return sound;
}

std::uint64_t ObjectWriter::objects_damaged() const {
  std::lock_guard lock(written_mutex_);
  return damaged_paths_.size();
}

std::vector<std::string> ObjectWriter::written_paths() const {
  std::lock_guard lock(written_mutex_);
  return written_paths_;
}

ObjectRef ObjectWriter::commit(const std::filesystem::path& temporary, ObjectRef ref) {
  if (has_object(ref)) {
    reused_.fetch_add(1);
    return ref;
  }
  auto target = object_file(site_, ref);
  std::filesystem::create_directories(target.parent_path());
  // Over a damaged copy, if there is one.
  if (::rename(temporary.c_str(), target.c_str()) != 0) fail_errno("Could not move an object into", target);
  written_.fetch_add(1);
  bytes_written_.fetch_add(ref.stored_size);
  std::lock_guard lock(written_mutex_);
  written_paths_.push_back(object_path(ref));
  return ref;
}

ObjectRef ObjectWriter::store_file(const std::filesystem::path& file, const ContentDigest& content) {
  ObjectRef ref{};
  ref.sha256 = content.sha256;
  ref.size = content.size;
  // Stored as is: the object already there (same digest and size) needs no work.
  ref.stored_sha256 = content.sha256;
  ref.stored_size = content.size;
  ref.compressed = false;

  TemporaryFile temporary{temporary_path()};
  std::vector<std::uint8_t> in(kChunk);
  if (level_ > 0 && content.size > 0) {
    OwnedHandle<ClosedBy<ZSTD_CCtx*, ZSTD_freeCCtx>> cctx(ZSTD_createCCtx());
    if (!cctx) throw ToolError("Could not create a zstd context");
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_compressionLevel, level_);
    ZSTD_CCtx_setParameter(cctx.get(), ZSTD_c_checksumFlag, 0);  // every object is verified by SHA-256
    ZSTD_CCtx_setPledgedSrcSize(cctx.get(), content.size);
    std::vector<std::uint8_t> out(ZSTD_CStreamOutSize());
    Fd input = open_read(file);
    Fd output(::open(temporary.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (output.get() < 0) fail_errno("Could not create", temporary.path);
    Sha256 stored_hash;
    Sha256 content_hash;  // the object goes out under `content`: the bytes read must be those
    std::uint64_t stored = 0;
    std::uint64_t consumed = 0;
    bool finished = false;
    while (!finished) {
      std::size_t n = read_some(input, in.data(), in.size(), file);
      consumed += n;
      if (consumed > content.size) throw_changed(file);
      content_hash.update(std::span<const std::uint8_t>(in.data(), n));
      ZSTD_EndDirective mode = n == 0 ? ZSTD_e_end : ZSTD_e_continue;
      ZSTD_inBuffer input_buffer{in.data(), n, 0};
      for (;;) {
        ZSTD_outBuffer output_buffer{out.data(), out.size(), 0};
        std::size_t left = ZSTD_compressStream2(cctx.get(), &output_buffer, &input_buffer, mode);
        if (ZSTD_isError(left)) throw ToolError(fmt::format("zstd failed on {}: {}", file.string(), ZSTD_getErrorName(left)));
        stored_hash.update(std::span<const std::uint8_t>(out.data(), output_buffer.pos));
        write_all(output, out.data(), output_buffer.pos, temporary.path);
        stored += output_buffer.pos;
        if (mode == ZSTD_e_end ? left == 0 : input_buffer.pos == input_buffer.size) break;
      }
      finished = n == 0;
    }
    if (consumed != content.size || content_hash.finish() != content.sha256) throw_changed(file);
    if (stored < content.size) {
      sync_and_close(output, temporary.path);
      ref.stored_sha256 = stored_hash.finish();
      ref.stored_size = stored;
      ref.compressed = true;
      ObjectRef result = commit(temporary.path, ref);
      return result;
    }
    // Compression did not pay: fall through and store the bytes as they are.
    output.reset();
    std::filesystem::remove(temporary.path);
  }
  if (has_object(ref)) {
    reused_.fetch_add(1);
    return ref;
  }
  Fd input = open_read(file);
  Fd output(::open(temporary.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (output.get() < 0) fail_errno("Could not create", temporary.path);
  Sha256 check;
  std::uint64_t copied = 0;
  for (;;) {
    std::size_t n = read_some(input, in.data(), in.size(), file);
    if (n == 0) break;
    check.update(std::span<const std::uint8_t>(in.data(), n));
    write_all(output, in.data(), n, temporary.path);
    copied += n;
  }
  if (copied != content.size || check.finish() != content.sha256) throw_changed(file);
  sync_and_close(output, temporary.path);
  return commit(temporary.path, ref);
}

ObjectRef ObjectWriter::store_bytes(const std::string& bytes) {
  // Small documents: go through a file so one code path writes every object.
  TemporaryFile source{temporary_path()};
  write_file_atomically(source.path, bytes);
  return store_file(source.path, hash_file(source.path));
}

ObjectRef ObjectWriter::write_object(std::span<const std::uint8_t> stored, const ObjectRef& ref) {
  if (has_object(ref)) {
    reused_.fetch_add(1);
    return ref;
  }
  TemporaryFile temporary{temporary_path()};
  Fd output(::open(temporary.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (output.get() < 0) fail_errno("Could not create", temporary.path);
  write_all(output, stored.data(), stored.size(), temporary.path);
  if (::close(output.release()) != 0) fail_errno("Could not close", temporary.path);
  return commit(temporary.path, ref);
}

void ObjectWriter::FreeEncoder::operator()(ZSTD_CCtx_s* encoder) const noexcept { ZSTD_freeCCtx(encoder); }

ObjectRef ObjectWriter::store_chunk(std::span<const std::uint8_t> content, const Sha256Digest& sha256) {
  ObjectRef ref{sha256, content.size(), sha256, content.size(), false};
  if (level_ > 0 && !content.empty()) {
    auto encoder = encoders_.take_free();
    if (!encoder) encoder.reset(ZSTD_createCCtx());
    if (!encoder) throw ToolError("Could not create a zstd context");
    ZSTD_CCtx_reset(encoder.get(), ZSTD_reset_session_and_parameters);
    ZSTD_CCtx_setParameter(encoder.get(), ZSTD_c_compressionLevel, level_);
    ZSTD_CCtx_setParameter(encoder.get(), ZSTD_c_checksumFlag, 0);  // verified by SHA-256
    std::vector<std::uint8_t> stored(ZSTD_compressBound(content.size()));
    const std::size_t n = ZSTD_compress2(encoder.get(), stored.data(), stored.size(), content.data(), content.size());
    encoders_.give_back(std::move(encoder));
    if (ZSTD_isError(n)) throw ToolError(fmt::format("zstd failed on a chunk: {}", ZSTD_getErrorName(n)));
    if (n < content.size()) {
      stored.resize(n);
      ref.stored_sha256 = kaldren::patcher::sha256(std::span<const std::uint8_t>(stored));
      ref.stored_size = n;
      ref.compressed = true;
      return write_object(stored, ref);
    }
  }
  return write_object(content, ref);
}

void write_file_atomically(const std::filesystem::path& target, const std::string& bytes) {
  std::filesystem::create_directories(target.parent_path());
  TemporaryFile temporary{target.parent_path() / fmt::format(".{}.tmp-{}", target.filename().string(), ::getpid())};
  Fd output(::open(temporary.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (output.get() < 0) fail_errno("Could not create", temporary.path);
  write_all(output, reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), temporary.path);
  sync_and_close(output, temporary.path);
  if (::rename(temporary.path.c_str(), target.c_str()) != 0) fail_errno("Could not replace", target);
  temporary.path.clear();
  // The new name itself must reach the disk before anything that relies on it.
  Fd folder(::open(target.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (folder.get() < 0 || ::fsync(folder.get()) != 0) fail_errno("Could not sync the folder of", target);
}

}  // namespace kaldren::patcher::publish
