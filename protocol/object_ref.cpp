#include <fmt/format.h>

#include "core/error.h"
#include "protocol/document_reading.h"
#include "protocol/json.h"
#include "protocol/release.h"

namespace kaldren::patcher {
namespace {

bool read_compressed(JsonReader& reader) {
  const std::string name = reader.read_string();
  if (name == "zstd") return true;
  if (name == "none") return false;
  detail::throw_malformed(fmt::format("unknown compression \"{}\"", name));
}

}  // namespace

namespace detail {

Sha256Digest read_sha256(JsonReader& reader, std::string_view what) {
  if (const auto digest = parse_sha256_hex(reader.read_string())) return *digest;
  throw_malformed(fmt::format("{} is not a lowercase SHA-256", what));
}

bool read_object_ref_member(JsonMembers& members, JsonReader& reader, ObjectRef& ref) {
  if (members.take("sha256")) {
    ref.sha256 = read_sha256(reader, "sha256");
  } else if (members.take("size")) {
    ref.size = reader.read_unsigned();
  } else if (members.take("stored_sha256")) {
    ref.stored_sha256 = read_sha256(reader, "stored_sha256");
  } else if (members.take("stored_size")) {
    ref.stored_size = reader.read_unsigned();
  } else if (members.take("compression")) {
    ref.compressed = read_compressed(reader);
  } else {
    return false;
  }
  return true;
}

bool has_object_ref(const JsonMembers& members) {
  return members.has_all({"sha256", "size", "stored_sha256", "stored_size", "compression"});
}

ObjectRef read_object_ref(JsonReader& reader, std::string_view name) {
  ObjectRef ref;
  JsonMembers members(reader);
  while (members.next()) read_object_ref_member(members, reader, ref);
  if (!has_object_ref(members)) throw_malformed(std::string(name) + " is missing a field");
  return ref;
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
