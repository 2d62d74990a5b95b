#include <fmt/format.h>

#include "core/error.h"
#include "protocol/document_reading.h"
#include "protocol/json.h"
#include "protocol/release.h"

namespace kaldren::patcher {
namespace {

Sha256Digest read_digest(JsonReader& reader, std::string_view member) {
  if (const auto digest = parse_sha256_hex(reader.read_string())) return *digest;
  detail::throw_malformed(fmt::format("{} is not a lowercase SHA-256", member));
}

bool read_compressed(JsonReader& reader) {
  const std::string name = reader.read_string();
  if (name == "zstd") return true;
  if (name == "none") return false;
  detail::throw_malformed(fmt::format("unknown compression \"{}\"", name));
}

}  // namespace

namespace detail {

bool ObjectRefMembers::read(JsonReader& reader, std::string_view key) {
  if (key == "sha256") {
    ref_.sha256 = read_digest(reader, key);
    seen_ |= 0x01;
  } else if (key == "size") {
    ref_.size = reader.read_unsigned();
    seen_ |= 0x02;
  } else if (key == "stored_sha256") {
    ref_.stored_sha256 = read_digest(reader, key);
    seen_ |= 0x04;
  } else if (key == "stored_size") {
    ref_.stored_size = reader.read_unsigned();
    seen_ |= 0x08;
  } else if (key == "compression") {
    ref_.compressed = read_compressed(reader);
    seen_ |= 0x10;
  } else {
    return false;
  }
  return true;
}

}  // namespace detail

void check_object_ref(const ObjectRef& ref, std::string_view name) {
  if (ref.size > kMaxObjectBytes || ref.stored_size > kMaxObjectBytes) {
    throw PatchError(ErrorCategory::security, fmt::format("{} is larger than the patch protocol allows", name));
  }
  if (!ref.compressed && (ref.stored_sha256 != ref.sha256 || ref.stored_size != ref.size)) {
    throw PatchError(ErrorCategory::security,
                     fmt::format("{} declares different stored and content bytes without compression", name));
  }
}

void write_object_ref(JsonWriter& writer, const ObjectRef& ref) {
  writer.key("sha256");
  writer.write_string(to_hex(ref.sha256));
  writer.key("size");
  writer.write_unsigned(ref.size);
  writer.key("stored_sha256");
  writer.write_string(to_hex(ref.stored_sha256));
  writer.key("stored_size");
  writer.write_unsigned(ref.stored_size);
  writer.key("compression");
  writer.write_string(ref.compressed ? "zstd" : "none");
}

}  // namespace kaldren::patcher
