#include "protocol/document_reading.h"

#include <fmt/format.h>

#include "core/error.h"

namespace kaldren::patcher::detail {

void throw_malformed(std::string_view detail) {
  throw PatchError(ErrorCategory::server,
                   fmt::format("The patch server sent a malformed update description: {}", detail));
}

void read_schema(JsonReader& reader) {
  const std::uint64_t schema = reader.read_unsigned();
  if (schema != 2) {
    throw PatchError(ErrorCategory::server,
                     fmt::format("The patch server uses format {}, which this launcher does not understand. "
                                 "Download the latest launcher from the website.",
                                 schema));
  }
}

bool read_document_header(JsonMembers& members, JsonReader& reader, std::string_view kind,
                          std::string_view wrong_kind) {
  if (members.take("schema")) {
    read_schema(reader);
    return true;
  }
  if (members.take("kind")) {
    if (reader.read_string() != kind) throw_malformed(wrong_kind);
    return true;
  }
  return false;
}

Version read_version(JsonReader& reader) {
  const std::string text = reader.read_string();
  if (const auto version = parse_version(text)) return *version;
  throw PatchError(ErrorCategory::server, fmt::format("Invalid version \"{}\" (expected major.minor.patch)",
                                                      std::string_view(text).substr(0, 32)));
}

}  // namespace kaldren::patcher::detail
