// Streaming zstd decompression of one downloaded object into its content file,
// hashing the content as it is written.
// Frame headers, to check the window before decoding.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "core/error.h"
#include "core/text.h"
#include "engine/object_store.h"
#include "system/file_operations.h"

namespace kaldren::patcher {
namespace {

// zstd's recommended streaming sizes (ZSTD_DStreamInSize / ZSTD_DStreamOutSize).
constexpr std::size_t kInputBytes = 131075;
constexpr std::size_t kOutputBytes = 131072;
// A publisher can make frames whose window would need gigabytes; 128 MiB is the most we allow.
constexpr int kWindowLogMax = 27;

[[noreturn]] void fail_unpack(std::string_view reason) {
  throw PatchError(ErrorCategory::security, "A downloaded file could not be unpacked: " + std::string(reason));
}

// The most a frame may ask of a decoder before its bytes are verified: an 8 MiB window,
// as zstd's own levels up to 19 write for large files. A hostile source could otherwise
// make every worker's decoder map its full 128 MiB window.
constexpr unsigned long long kUnverifiedWindowBytes = 1ull << 23;

// Decoders grown past what an unverified frame may ask for are not kept.
std::size_t largest_kept_decoder() {
  static const std::size_t bytes = ZSTD_estimateDStreamSize(kUnverifiedWindowBytes) + 65536;
  return bytes;
}

// As many as the download workers (eight) use at most.
constexpr std::size_t kKeptDecoders = 8;

// Holds a decoder of the pool, ready for a new frame, for one unpacking.
class DecoderLease {
 public:
  explicit DecoderLease(ZstdDecoders& decoders) : decoders_(decoders), decoder_(decoders.take()) {}
  DecoderLease(const DecoderLease&) = delete;
  DecoderLease& operator=(const DecoderLease&) = delete;
  ~DecoderLease() { decoders_.give_back(std::move(decoder_)); }
  ZSTD_DCtx* get() const noexcept { return decoder_.get(); }

 private:
  ZstdDecoders& decoders_;
  ZstdDecoder decoder_;
};

// zstd's allocations for the decoders of one pool, counted: each block carries its size.
constexpr std::size_t kBlockHeader = alignof(std::max_align_t);

void* allocate_counted(void* pool, std::size_t size) {
  void* block = std::malloc(size + kBlockHeader);
  if (block == nullptr) return nullptr;
  std::memcpy(block, &size, sizeof(size));
  static_cast<ZstdDecoders*>(pool)->count(static_cast<std::int64_t>(size));
  return static_cast<std::uint8_t*>(block) + kBlockHeader;
}

void free_counted(void* pool, void* address) {
  if (address == nullptr) return;
  void* block = static_cast<std::uint8_t*>(address) - kBlockHeader;
  std::size_t size = 0;
  std::memcpy(&size, block, sizeof(size));
  static_cast<ZstdDecoders*>(pool)->count(-static_cast<std::int64_t>(size));
  std::free(block);
}

// The frame header, gathered across reads: zstd's own frame (the native library also
// reads legacy and skippable frames, which the Windows build's decoder refuses or no
// publisher writes) with a window within the limit. The decoder checks the window only
// when it streams; a frame whose whole content fits its output buffer is decoded at once
// without that check. Checked here, one rule holds for every frame on every platform.
class HeaderCheck {
 public:
  void take(const std::uint8_t* bytes, std::size_t count) {
    if (done_) return;
    const std::size_t taken = std::min(count, sizeof(header_) - seen_);
    std::memcpy(header_ + seen_, bytes, taken);
    seen_ += taken;
    if (seen_ >= 4 && magic_of(header_) != ZSTD_MAGICNUMBER) {
      fail_unpack(ZSTD_getErrorString(ZSTD_error_prefix_unknown));
    }
    ZSTD_frameHeader header{};
    const std::size_t missing = ZSTD_getFrameHeader(&header, header_, seen_);
    if (missing != 0 && !ZSTD_isError(missing) && seen_ < sizeof(header_)) return;  // more bytes to come
    done_ = true;  // a damaged header is the decoder's to report
    if (ZSTD_isError(missing) || missing != 0) return;
    if (header.windowSize > (std::uint64_t{1} << kWindowLogMax)) {
      fail_unpack(ZSTD_getErrorString(ZSTD_error_frameParameter_windowTooLarge));
    }
    // A frame that declares its content size needs no window beyond it.
    wants_large_window_ = ZSTD_decodingBufferSize_min(header.windowSize, header.frameContentSize) >
                          ZSTD_decodingBufferSize_min(kUnverifiedWindowBytes, ZSTD_CONTENTSIZE_UNKNOWN);
  }

  // True once the header is read and asks for more than an unverified frame may.
  bool wants_large_window() const noexcept { return wants_large_window_; }

 private:
  static std::uint32_t magic_of(const std::uint8_t* bytes) {
    return bytes[0] | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
  }

  std::uint8_t header_[ZSTD_FRAMEHEADERSIZE_MAX] = {};
  std::size_t seen_ = 0;
  bool done_ = false;
  bool wants_large_window_ = false;
};

ZstdDecoder make_decoder(ZstdDecoders& pool) {
  ZstdDecoder decoder(ZSTD_createDCtx_advanced({allocate_counted, free_counted, &pool}));
  if (!decoder) throw PatchError(ErrorCategory::internal, "Could not create a zstd decoder");
  if (ZSTD_isError(ZSTD_DCtx_setParameter(decoder.get(), ZSTD_d_windowLogMax, kWindowLogMax))) {
    throw PatchError(ErrorCategory::internal, "Could not limit the zstd window");
  }
  return decoder;
}

// Writes what the decoder produced, hashing it and counting it against the declared size.
class ContentSink {
 public:
  ContentSink(OpenFile& file, const std::filesystem::path& path, std::uint64_t content_size)
      : file_(file), path_(path), content_size_(content_size) {}

  void write(const std::uint8_t* bytes, std::size_t count) {
    if (count == 0) return;
    if (count > content_size_ - written_) fail_unpack("it is larger than declared");
    write_bytes(file_, path_, std::span(bytes, count));
    hash_.update(std::span<const std::uint8_t>(bytes, count));
    written_ += count;
  }

  std::uint64_t written() const noexcept { return written_; }

  Sha256Digest finish() {
    flush_bytes(file_, path_);
    return hash_.finish();
  }

 private:
  OpenFile& file_;
  const std::filesystem::path& path_;
  std::uint64_t content_size_;
  std::uint64_t written_ = 0;
  Sha256 hash_;
};

}  // namespace

ZstdDecoders::ZstdDecoders() : kept_(kKeptDecoders * largest_kept_decoder()) {}

ZstdDecoders::~ZstdDecoders() = default;

ZstdDecoder ZstdDecoders::take() {
  ZstdDecoder decoder = kept_.take_free();
  if (!decoder) return make_decoder(*this);
  // Whatever frame it stopped in, it starts afresh; its window limit stays.
  ZSTD_DCtx_reset(decoder.get(), ZSTD_reset_session_only);
  return decoder;
}

void ZstdDecoders::give_back(ZstdDecoder decoder) noexcept {
  if (!decoder) return;
  const std::size_t bytes = ZSTD_sizeof_DCtx(decoder.get());
  if (bytes > largest_kept_decoder()) return;  // freed here
  kept_.give_back(std::move(decoder), bytes);
}

void ZstdDecoders::count(std::int64_t bytes) noexcept {
  const std::uint64_t change = static_cast<std::uint64_t>(bytes);
  const std::uint64_t now = in_use_.fetch_add(change) + change;
  std::uint64_t peak = peak_.load();
  while (now > peak && !peak_.compare_exchange_weak(peak, now)) {
  }
}

namespace {

// Reads into `buffer` until it is full or the source ends (then `at_end`); the bytes read.
std::size_t fill(OpenFile& file, const std::filesystem::path& path, std::span<std::uint8_t> buffer, bool& at_end) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    std::size_t read = 0;
    if (const SystemCode error = file.read(buffer.subspan(filled), read); error != 0) {
      throw_win32(ErrorCategory::io, "Could not read " + display_path(path), error);
    }
    if (read == 0) {
      at_end = true;
      break;
    }
    filled += read;
  }
  return filled;
}

}  // namespace

Sha256Digest unpack_zstd(FileSystem& fs, const std::filesystem::path& source, const std::filesystem::path& target,
                         std::uint64_t content_size, std::stop_token stop) {
  const std::unique_ptr<std::uint8_t[]> output_bytes(new std::uint8_t[kOutputBytes]);
  ZstdDecoders decoders;
  return unpack_zstd(fs, source, target, content_size, std::move(stop), std::span(output_bytes.get(), kOutputBytes),
                     decoders)
      .content;
}

UnpackDigests unpack_zstd(FileSystem& fs, const std::filesystem::path& source, const std::filesystem::path& target,
                          std::uint64_t content_size, std::stop_token stop, std::span<std::uint8_t> output_buffer,
                          ZstdDecoders& decoders, const std::optional<Sha256Digest>& stored_sha256) {
  std::unique_ptr<OpenFile> input_file = open_for_read(fs, source);
  const std::unique_ptr<std::uint8_t[]> input_bytes(new std::uint8_t[kInputBytes]);
  const std::span<std::uint8_t> input_buffer(input_bytes.get(), kInputBytes);
  Sha256 stored_hash;
  HeaderCheck header;
  bool at_end = false;

  if (stop.stop_requested()) throw_cancelled();
  std::size_t count = fill(*input_file, source, input_buffer, at_end);
  stored_hash.update(input_buffer.first(count));
  header.take(input_bytes.get(), count);
  bool verified = false;
  if (stored_sha256 && (at_end || header.wants_large_window())) {
    // Known before any decoder sees a byte: free when the whole object is in memory, and
    // worth a second read for a frame that would have the decoder map a large window.
    const bool whole = at_end;
    while (!at_end) {
      if (stop.stop_requested()) throw_cancelled();
      stored_hash.update(input_buffer.first(fill(*input_file, source, input_buffer, at_end)));
    }
    const Sha256Digest stored = stored_hash.finish();
    if (stored != *stored_sha256) return {Sha256Digest{}, stored};
    verified = true;
    if (!whole) {
      input_file = open_for_read(fs, source);
      at_end = false;
      count = fill(*input_file, source, input_buffer, at_end);
    }
  }

  const std::unique_ptr<OpenFile> output_file = open_for_write(fs, target);
  const DecoderLease decoder(decoders);
  std::uint8_t* const output_bytes = output_buffer.data();
  const std::size_t output_size = output_buffer.size();
  ContentSink sink(*output_file, target, content_size);
  bool frame_complete = false;

  // One decoder call; true when it ended the frame.
  const auto decode = [&](ZSTD_inBuffer& input) {
    ZSTD_outBuffer output{output_bytes, output_size, 0};
    const std::size_t result = ZSTD_decompressStream(decoder.get(), &output, &input);
    if (ZSTD_isError(result)) fail_unpack(ZSTD_getErrorName(result));
    sink.write(output_bytes, output.pos);
    frame_complete = result == 0;
    return output.pos;
  };

  for (bool first = true;; first = false) {
    if (stop.stop_requested()) throw_cancelled();
    if (!first) {
      count = fill(*input_file, source, input_buffer, at_end);
      if (!verified) stored_hash.update(input_buffer.first(count));
      header.take(input_bytes.get(), count);
    }
    ZSTD_inBuffer input{input_bytes.get(), count, 0};
    while (input.pos < input.size) {
      // Only one frame per object: anything after it is refused, not decoded.
      if (frame_complete) fail_unpack("data after the end of the frame");
      decode(input);
    }
    // The decoder may still hold output for the input it has taken.
    while (!frame_complete && decode(input) != 0) {
    }
    if (at_end) {
      if (!frame_complete) fail_unpack("the frame is truncated");
      if (sink.written() != content_size) fail_unpack("it is smaller than declared");
      return {sink.finish(), verified ? *stored_sha256 : stored_hash.finish()};
    }
  }
}

void FreeZstdDecoder::operator()(ZSTD_DCtx* decoder) const noexcept { ZSTD_freeDCtx(decoder); }

}  // namespace kaldren::patcher
