// Pieces shared by the parsers of published documents (release payload, client
// manifest): their error forms and the JSON form of an object reference.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/version.h"
#include "protocol/json.h"
#include "protocol/release.h"

namespace kaldren::patcher::detail {

// PatchError server "The patch server sent a malformed update description: " + detail.
[[noreturn]] void throw_malformed(std::string_view detail);

// Runs `read` and turns a JsonError into the malformed-description PatchError.
template <typename Read>
auto reading_json(Read&& read) -> decltype(read()) {
  try {
    return read();
  } catch (const JsonError& error) {
    throw_malformed(error.what());
  }
}

// Reads `schema` and throws PatchError server (no prefix) unless it is 2.
void read_schema(JsonReader& reader);

// The members every published document starts with: when `key` is "schema" (must be 2)
// or "kind" (must be `kind`; else the malformed error with `wrong_kind`), reads it, sets
// bit 0x01 or 0x02 of `seen` and returns true; false for any other key.
bool read_document_header(JsonReader& reader, std::string_view key, std::string_view kind,
                          std::string_view wrong_kind, unsigned& seen);

// Reads a "major.minor.patch" string; PatchError server (no prefix) when it does not parse.
Version read_version(JsonReader& reader);

// Collects the five members of an object reference, read in any order; a repeated
// member overwrites the earlier value.
class ObjectRefMembers {
 public:
  // Reads the value when `key` is a reference member and returns true; false otherwise.
  bool read(JsonReader& reader, std::string_view key);
  bool complete() const noexcept { return seen_ == kAllMembers; }
  const ObjectRef& value() const noexcept { return ref_; }

 private:
  static constexpr unsigned kAllMembers = 0x1F;
  ObjectRef ref_;
  unsigned seen_ = 0;
};

}  // namespace kaldren::patcher::detail
