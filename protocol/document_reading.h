// Pieces shared by the parsers of published documents (release payload, client
// manifest): their error forms and the JSON form of an object reference.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/version.h"
#include "protocol/json.h"
#include "protocol/json_members.h"
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

// The members every published document starts with: takes "schema" (must be 2) or
// "kind" (must be `kind`; else the malformed error with `wrong_kind`) and returns true;
// false for any other member.
bool read_document_header(JsonMembers& members, JsonReader& reader, std::string_view kind,
                          std::string_view wrong_kind);
inline bool has_document_header(const JsonMembers& members) { return members.has_all({"schema", "kind"}); }

// Reads a lowercase hex SHA-256; the malformed error "<what> is not a lowercase SHA-256" otherwise.
Sha256Digest read_sha256(JsonReader& reader, std::string_view what);

// Reads a "major.minor.patch" string; PatchError server (no prefix) when it does not parse.
Version read_version(JsonReader& reader);

// Takes the current member into `ref` when it is one of an object reference's five
// members (a repeated one overwrites the earlier value); false otherwise.
bool read_object_ref_member(JsonMembers& members, JsonReader& reader, ObjectRef& ref);
bool has_object_ref(const JsonMembers& members);

// An object reference on its own: PatchError server "<name> is missing a field" when
// one of its members is not there.
ObjectRef read_object_ref(JsonReader& reader, std::string_view name);

}  // namespace kaldren::patcher::detail
