// Streaming zstd decompression of one downloaded object into its content file,
// hashing the content as it is written.
// Frame headers, to check the window before decoding.
#define ZSTD_STATIC_LINKING_ONLY
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
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

ZstdDecoder make_decoder();

// Holds a decoder of the pool, ready for a new frame, for one unpacking.
class DecoderLease {
 public:
  explicit DecoderLease(ZstdDecoders& decoders) : decoders_(decoders), decoder_(decoders.take_free()) {
    if (decoder_) {
      // Whatever frame it stopped in, it starts afresh; its window limit stays.
      ZSTD_DCtx_reset(decoder_.get(), ZSTD_reset_session_only);
    } else {
      decoder_ = make_decoder();
    }
  }
  DecoderLease(const DecoderLease&) = delete;
  DecoderLease& operator=(const DecoderLease&) = delete;
  ~DecoderLease() { decoders_.give_back(std::move(decoder_)); }
  ZSTD_DCtx* get() const noexcept { return decoder_.get(); }

 private:
  ZstdDecoders& decoders_;
  ZstdDecoder decoder_;
};

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
    if (!ZSTD_isError(missing) && missing == 0 && header.windowSize > (std::uint64_t{1} << kWindowLogMax)) {
      fail_unpack(ZSTD_getErrorString(ZSTD_error_frameParameter_windowTooLarge));
    }
  }

 private:
  static std::uint32_t magic_of(const std::uint8_t* bytes) {
    return bytes[0] | std::uint32_t{bytes[1]} << 8 | std::uint32_t{bytes[2]} << 16 | std::uint32_t{bytes[3]} << 24;
  }

  std::uint8_t header_[ZSTD_FRAMEHEADERSIZE_MAX] = {};
  std::size_t seen_ = 0;
  bool done_ = false;
};

ZstdDecoder make_decoder() {
  ZstdDecoder decoder(ZSTD_createDCtx());
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
                          ZstdDecoders& decoders) {
  const std::unique_ptr<OpenFile> input_file = open_for_read(fs, source);
  const std::unique_ptr<OpenFile> output_file = open_for_write(fs, target);

  const DecoderLease decoder(decoders);
  const std::unique_ptr<std::uint8_t[]> input_bytes(new std::uint8_t[kInputBytes]);
  std::uint8_t* const output_bytes = output_buffer.data();
  const std::size_t output_size = output_buffer.size();
  Sha256 stored_hash;
  ContentSink sink(*output_file, target, content_size);
  bool frame_complete = false;
  HeaderCheck header;

  // One decoder call; true when it ended the frame.
  const auto decode = [&](ZSTD_inBuffer& input) {
    ZSTD_outBuffer output{output_bytes, output_size, 0};
    const std::size_t result = ZSTD_decompressStream(decoder.get(), &output, &input);
    if (ZSTD_isError(result)) fail_unpack(ZSTD_getErrorName(result));
    sink.write(output_bytes, output.pos);
    frame_complete = result == 0;
    return output.pos;
  };

  while (!stop.stop_requested()) {
    std::size_t read = 0;
    if (const SystemCode error = input_file->read(std::span(input_bytes.get(), kInputBytes), read); error != 0) {
      throw_win32(ErrorCategory::io, "Could not read " + display_path(source), error);
    }
    if (read == 0) {
      if (!frame_complete) fail_unpack("the frame is truncated");
      if (sink.written() != content_size) fail_unpack("it is smaller than declared");
      return {sink.finish(), stored_hash.finish()};
    }

    stored_hash.update(std::span<const std::uint8_t>(input_bytes.get(), read));
    header.take(input_bytes.get(), read);
    ZSTD_inBuffer input{input_bytes.get(), read, 0};
    while (input.pos < input.size) {
      // Only one frame per object: anything after it is refused, not decoded.
      if (frame_complete) fail_unpack("data after the end of the frame");
      decode(input);
    }
    // The decoder may still hold output for the input it has taken.
    while (!frame_complete && decode(input) != 0) {
    }
  }
  throw_cancelled();
}

void FreeZstdDecoder::operator()(ZSTD_DCtx* decoder) const noexcept { ZSTD_freeDCtx(decoder); }

}  // namespace kaldren::patcher
