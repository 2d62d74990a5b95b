#include "tools/object_check.h"

#include <fstream>
#include <vector>

#include <fmt/format.h>
#include <zstd.h>

#include "core/owned_handle.h"
#include "protocol/crypto.h"
#include "protocol/manifest.h"

namespace kaldren::patcher::publish {

std::string check_object(const std::filesystem::path& site, const ObjectRef& ref, const std::string& name,
                         std::string* content) {
  auto path = site / object_path(ref);
  std::ifstream in(path, std::ios::binary);
  if (!in) return fmt::format("{}: object {} is missing", name, object_path(ref));
  Sha256 stored_hash;
  Sha256 content_hash;
  std::uint64_t stored = 0;
  std::uint64_t produced = 0;
  OwnedHandle<ClosedBy<ZSTD_DCtx*, ZSTD_freeDCtx>> dctx;
  if (ref.compressed) {
    dctx.reset(ZSTD_createDCtx());
    ZSTD_DCtx_setParameter(dctx.get(), ZSTD_d_windowLogMax, 27);
  }
  std::vector<char> buffer(1 << 20);
  std::vector<char> out(ZSTD_DStreamOutSize());
  bool frame_done = false;
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    std::size_t n = static_cast<std::size_t>(in.gcount());
    if (n == 0) break;
    stored += n;
    if (stored > ref.stored_size) return fmt::format("{}: object {} is larger than its stored size {}", name, object_path(ref), ref.stored_size);
    stored_hash.update(std::string_view(buffer.data(), n));
    if (!ref.compressed) {
      if (content) content->append(buffer.data(), n);
      continue;
    }
    ZSTD_inBuffer input{buffer.data(), n, 0};
    while (input.pos < input.size) {
      if (frame_done) return fmt::format("{}: object {} holds more than one zstd frame", name, object_path(ref));
      ZSTD_outBuffer output{out.data(), out.size(), 0};
      std::size_t result = ZSTD_decompressStream(dctx.get(), &output, &input);
      if (ZSTD_isError(result))
        return fmt::format("{}: object {} does not unpack: {}", name, object_path(ref), ZSTD_getErrorName(result));
      produced += output.pos;
      if (produced > ref.size) return fmt::format("{}: object {} unpacks to more than {} bytes", name, object_path(ref), ref.size);
      content_hash.update(std::string_view(out.data(), output.pos));
      if (content) content->append(out.data(), output.pos);
      if (result == 0) frame_done = true;
    }
  }
  if (stored != ref.stored_size)
    return fmt::format("{}: object {} has {} bytes, the release says {}", name, object_path(ref), stored, ref.stored_size);
  if (stored_hash.finish() != ref.stored_sha256)
    return fmt::format("{}: object {} does not match its stored SHA-256", name, object_path(ref));
  if (ref.compressed) {
    if (!frame_done) return fmt::format("{}: object {} ends inside its zstd frame", name, object_path(ref));
    if (produced != ref.size)
      return fmt::format("{}: object {} unpacks to {} bytes, the release says {}", name, object_path(ref), produced, ref.size);
    if (content_hash.finish() != ref.sha256)
      return fmt::format("{}: object {} does not unpack to its content SHA-256", name, object_path(ref));
  }
  return {};
}

}  // namespace kaldren::patcher::publish
