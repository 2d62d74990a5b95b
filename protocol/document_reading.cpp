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

bool read_document_header(JsonReader& reader, std::string_view key, std::string_view kind,
                          std::string_view wrong_kind, unsigned& seen) {
  if (key == "schema") {
    read_schema(reader);
    seen |= 0x01;
    return true;
  }
  if (key == "kind") {
    if (reader.read_string() != kind) throw_malformed(wrong_kind);
    seen |= 0x02;
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
