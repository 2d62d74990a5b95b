// zstd unpacking of a stored object on the in-memory drive, directly and through the
// object store. Byte 0 holds flags, bytes 1-3 the declared content size (at most
// 1 MiB), the rest is the stored object. Never more than the declared size is written;
// a window over 128 MiB is refused; and the unpacker accepts exactly what zstd's
// one-shot decoder makes of one whole frame of the declared size, with its digest.
#define ZSTD_STATIC_LINKING_ONLY  // frame headers, to check the window limit
#include <zstd.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>

#include "core/error.h"
#include "engine/object_store.h"
#include "fuzz_check.h"
#include "protocol/crypto.h"
#include "system/file_operations.h"
#include "system/memory_file_system.h"
#include "transport/transport.h"

namespace kaldren::patcher {
namespace {

constexpr std::uint64_t kMaxDeclared = 1u << 20;
constexpr unsigned long long kMaxWindow = 1ull << 27;

// Serves the one stored object whatever is asked.
class OneObjectTransport final : public Transport {
 public:
  OneObjectTransport(FileSystem& fs, std::string_view object) : fs_(fs), object_(object) {}

  std::string fetch(std::string_view, std::uint64_t, std::stop_token) override { return {}; }
  std::vector<SourceDocument> fetch_all(std::string_view, std::uint64_t, std::stop_token) override { return {}; }
  void download(std::string_view, const std::filesystem::path& destination, std::uint64_t size, std::stop_token,
                const DownloadProgress&, std::uint64_t) override {
    FUZZ_CHECK(size == object_.size(), object_);
    write_file_atomic(fs_, destination, object_);
  }
  std::uint64_t source_count() const override { return 1; }
  void prefer_sources(std::span<const std::uint64_t>) override {}
  std::string name() const override { return "fuzz"; }

 private:
  FileSystem& fs_;
  std::string_view object_;
};

// What zstd itself makes of the object: the content when it is exactly one frame,
// within the window limit, of exactly `declared` bytes.
std::optional<std::string> reference_content(std::string_view object, std::uint64_t declared) {
  if (ZSTD_findFrameCompressedSize(object.data(), object.size()) != object.size()) return std::nullopt;
  ZSTD_frameHeader header{};
  if (ZSTD_getFrameHeader(&header, object.data(), object.size()) != 0) return std::nullopt;
  // Only zstd's own frames, as the Windows build's decoder reads them: no legacy
  // format, no skippable frame.
  if (header.frameType != ZSTD_frame || header.windowSize > kMaxWindow) return std::nullopt;
  std::string content(declared + 1, '\0');
  const std::unique_ptr<ZSTD_DCtx, decltype(&ZSTD_freeDCtx)> decoder(ZSTD_createDCtx(), ZSTD_freeDCtx);
  const std::size_t produced =
      ZSTD_decompressDCtx(decoder.get(), content.data(), content.size(), object.data(), object.size());
  if (ZSTD_isError(produced) || produced != declared) return std::nullopt;
  content.resize(produced);
  return content;
}

std::uint64_t size_of(FileSystem& fs, const std::filesystem::path& path) {
  const auto info = file_info(fs, path);
  return info ? info->size : 0;
}

void unpack_directly(std::string_view object, std::uint64_t declared, const std::optional<std::string>& expected) {
  MemoryFileSystem fs;
  const std::filesystem::path source = "/game/object.zst";
  const std::filesystem::path target = "/game/content";
  create_folders(fs, "/game");
  write_file_atomic(fs, source, object);
  std::optional<Sha256Digest> digest;
  try {
    digest = unpack_zstd(fs, source, target, declared, std::stop_token());
  } catch (const PatchError& error) {
    FUZZ_CHECK(error.category() == ErrorCategory::security, object);
  }
  FUZZ_CHECK(size_of(fs, target) <= declared, object);
  FUZZ_CHECK(digest.has_value() == expected.has_value(), object);
  if (!digest) return;
  const std::string written = read_file(fs, target, kMaxDeclared);
  FUZZ_CHECK(written == *expected, object);
  FUZZ_CHECK(*digest == sha256(written), object);
}

void stage_through_store(std::string_view object, std::uint64_t declared, const std::optional<std::string>& expected) {
  MemoryFileSystem fs;
  OneObjectTransport transport(fs, object);
  ObjectStore store(fs, "/game/Lanternix/staging", transport);
  // Content that cannot be there is named when zstd finds none: staging must then fail.
  Sha256Digest content_digest{};
  if (expected) content_digest = sha256(*expected);
  const ObjectRef ref{content_digest, declared, sha256(object), object.size(), true};
  std::optional<std::filesystem::path> staged;
  try {
    staged = store.stage(ref, std::stop_token());
  } catch (const PatchError& error) {
    FUZZ_CHECK(error.category() == ErrorCategory::security, object);
  }
  FUZZ_CHECK(staged.has_value() == expected.has_value(), object);
  if (staged) {
    FUZZ_CHECK(*staged == store.staged_path(ref), object);
    FUZZ_CHECK(read_file(fs, *staged, kMaxDeclared) == *expected, object);
  } else {
    FUZZ_CHECK(!file_info(fs, store.staged_path(ref)), object);
  }
  for (const auto& [name, bytes] : fs.files_below(store.staging_folder())) {
    FUZZ_CHECK(bytes.size() <= declared || bytes == object, name);
  }
}

}  // namespace
}  // namespace kaldren::patcher

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace kaldren::patcher;
  if (size < 4) return 0;
  const std::string_view object(reinterpret_cast<const char*>(data) + 4, size - 4);
  std::uint64_t declared = (data[1] | data[2] << 8 | data[3] << 16) % (kMaxDeclared + 1);
  // Flag 1: declare what the frame header says, so that whole frames are common.
  if ((data[0] & 1) != 0) {
    const unsigned long long in_header = ZSTD_getFrameContentSize(object.data(), object.size());
    if (in_header <= kMaxDeclared) declared = in_header;
  }
  const std::optional<std::string> expected = reference_content(object, declared);
  unpack_directly(object, declared, expected);
  // Flag 2: also through the object store (download, stored digest, unpack, content digest).
  if ((data[0] & 2) != 0) stage_through_store(object, declared, expected);
  return 0;
}
