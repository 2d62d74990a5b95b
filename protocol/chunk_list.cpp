#include "protocol/chunk_list.h"

#include <array>

#include <fmt/format.h>

#include "core/error.h"
#include "protocol/document_reading.h"
#include "protocol/json.h"
#include "protocol/path_rule.h"

namespace kaldren::patcher {
namespace {

using detail::throw_malformed;

// The chunk-list format's own number: a later format is read as unsupported (the file
// is fetched whole), never as an error.
constexpr std::uint64_t kChunkListSchema = 1;
constexpr std::uint64_t kMaxPageDocumentBytes = 8388608;  // 8 MiB, far above 8192 chunks
constexpr std::string_view kParamNames[] = {"min", "average", "max", "page_min", "page_average", "page_max"};

// The cutting parameters, in the order of their names.
std::array<std::uint32_t*, 6> param_fields(ChunkParams& p) {
  return {&p.min, &p.average, &p.max, &p.page_min, &p.page_average, &p.page_max};
}

std::uint32_t read_u32(JsonReader& reader) {
  const std::uint64_t value = reader.read_unsigned();
  if (value > 0xFFFFFFFFu) throw_malformed("a chunk list parameter is out of range");
  return static_cast<std::uint32_t>(value);
}

// The members every chunk-list document starts with: takes "schema" (a later one
// clears `supported`) or "kind" (must be `kind`, else the malformed error about `name`);
// false for any other member.
bool read_list_header(JsonMembers& members, JsonReader& reader, std::string_view kind, std::string_view name,
                      bool& supported) {
  if (members.take("schema")) {
    if (reader.read_unsigned() != kChunkListSchema) supported = false;
  } else if (members.take("kind")) {
    if (reader.read_string() != kind) throw_malformed(fmt::format("the {} has the wrong kind", name));
  } else {
    return false;
  }
  return true;
}

ChunkPageRef read_page_entry(JsonReader& reader) {
  ChunkPageRef entry;
  JsonMembers members(reader);
  while (members.next()) {
    if (members.take("chunks")) {
      entry.chunks = reader.read_unsigned();
    } else if (members.take("span")) {
      entry.span = reader.read_unsigned();
    } else if (members.take("fingerprint")) {
      entry.fingerprint = detail::read_sha256(reader, "fingerprint");
    } else {
      detail::read_object_ref_member(members, reader, entry.page);
    }
  }
  if (!members.has_all({"chunks", "span", "fingerprint"}) || !detail::has_object_ref(members)) {
    throw_malformed("a chunk page entry is missing a field");
  }
  return entry;
}

// Takes the members of the index besides its header; leaves unknown ones to be skipped.
void read_index_member(JsonMembers& members, JsonReader& reader, ChunkIndex& index) {
  const auto fields = param_fields(index.params);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (members.take(kParamNames[i])) {
      *fields[i] = read_u32(reader);
      return;
    }
  }
  if (members.take("method")) {
    if (reader.read_string() != kChunkMethod) index.supported = false;
  } else if (members.take("size")) {
    index.size = reader.read_unsigned();
  } else if (members.take("pages")) {
    reader.begin_array();
    while (reader.next_element()) index.pages.push_back(read_page_entry(reader));
  } else if (members.take("seeds")) {
    reader.begin_array();
    while (reader.next_element()) {
      if (index.seeds.size() >= kMaxChunkSeeds) throw_malformed("a chunk list names too many seed files");
      index.seeds.push_back(reader.read_string());
    }
  }
}

ChunkIndex read_index(std::string_view document) {
  ChunkIndex index;
  JsonReader reader(document);
  JsonMembers members(reader);
  while (members.next()) {
    // Once the format is known to be a later one, nothing more is read.
    if (!read_list_header(members, reader, "chunk-index", "chunk index", index.supported) && index.supported) {
      read_index_member(members, reader, index);
    }
  }
  if (!reader.at_end_ignoring_whitespace()) throw_malformed("trailing data after the chunk index");
  if (!index.supported) return ChunkIndex{false};
  if (!members.has_all({"schema", "kind", "method", "size", "pages", "min", "average", "max", "page_min",
                        "page_average", "page_max"})) {
    throw_malformed("the chunk index is missing a field");
  }
  return index;
}

ObjectRef read_chunk(JsonReader& reader) {
  ObjectRef chunk;
  reader.begin_array();
  if (!reader.next_element()) throw_malformed("a chunk entry is too short");
  chunk.sha256 = detail::read_sha256(reader, "a chunk digest");
  if (!reader.next_element()) throw_malformed("a chunk entry is too short");
  chunk.size = reader.read_unsigned();
  // Two values: stored as it is; four: a zstd frame with its own digest and size.
  if (!reader.next_element()) {
    chunk.stored_sha256 = chunk.sha256;
    chunk.stored_size = chunk.size;
    return chunk;
  }
  chunk.compressed = true;
  chunk.stored_sha256 = detail::read_sha256(reader, "a stored chunk digest");
  if (!reader.next_element()) throw_malformed("a chunk entry is too short");
  chunk.stored_size = reader.read_unsigned();
  if (reader.next_element()) throw_malformed("a chunk entry is too long");
  return chunk;
}

ChunkPage read_page(std::string_view document) {
  ChunkPage page;
  bool supported = true;
  JsonReader reader(document);
  JsonMembers members(reader);
  while (members.next()) {
    if (read_list_header(members, reader, "chunk-page", "chunk page", supported)) {
      // A page of an index this launcher reads is of the same format.
      if (!supported) throw_malformed("the chunk page has an unknown format");
    } else if (members.take("chunks")) {
      reader.begin_array();
      while (reader.next_element()) {
        if (page.chunks.size() >= kMaxPageChunksCeiling) throw_malformed("a chunk page lists too many chunks");
        page.chunks.push_back(read_chunk(reader));
      }
    }
  }
  if (!reader.at_end_ignoring_whitespace()) throw_malformed("trailing data after the chunk page");
  if (!members.has_all({"schema", "kind", "chunks"})) throw_malformed("the chunk page is missing a field");
  return page;
}

[[noreturn]] void refuse(const std::string& path, std::string_view what) {
  throw PatchError(ErrorCategory::security, fmt::format("The chunk list of {} {}", path, what));
}

}  // namespace

ChunkIndex parse_chunk_index(std::string_view document) {
  return detail::reading_json([&] { return read_index(document); });
}

ChunkPage parse_chunk_page(std::string_view document) {
  return detail::reading_json([&] { return read_page(document); });
}

void validate_chunk_index(const ChunkIndex& index, const std::string& path, std::uint64_t file_size) {
  const ChunkParams& p = index.params;
  if (!valid_chunk_params(p)) refuse(path, "declares chunk sizes outside the format's bounds");
  if (index.size != file_size) refuse(path, "describes a file of another size");
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < index.pages.size(); ++i) {
    const ChunkPageRef& entry = index.pages[i];
    const bool last = i + 1 == index.pages.size();
    // Every chunk but the file's last holds at least `min` bytes and at most `max`.
    if (entry.chunks == 0 || entry.chunks > p.page_max || entry.span > entry.chunks * p.max ||
        entry.span < (entry.chunks - (last ? 1 : 0)) * p.min + (last ? 1 : 0)) {
      refuse(path, "has a page outside the format's bounds");
    }
    check_object_ref(entry.page, fmt::format("The chunk list of {}", path));
    if (entry.page.size > kMaxPageDocumentBytes) refuse(path, "has a page larger than the format allows");
    total += entry.span;
    if (total > file_size) refuse(path, "does not add up to the file's size");
  }
  if (total != file_size) refuse(path, "does not add up to the file's size");
  for (const std::string& seed : index.seeds) require_safe_path(seed);
}

void validate_chunk_page(const ChunkPage& page, const ChunkPageRef& entry, const ChunkParams& params,
                         bool last_page, const std::string& path) {
  if (page.chunks.size() != entry.chunks) refuse(path, "has a page that does not match its index");
  std::uint64_t span = 0;
  for (std::size_t i = 0; i < page.chunks.size(); ++i) {
    const ObjectRef& chunk = page.chunks[i];
    const bool last_chunk = last_page && i + 1 == page.chunks.size();
    if (chunk.size == 0 || chunk.size > params.max || (!last_chunk && chunk.size < params.min)) {
      refuse(path, "lists a chunk outside the format's bounds");
    }
    check_object_ref(chunk, fmt::format("A chunk of {}", path));
    span += chunk.size;
  }
  if (span != entry.span || page_fingerprint(page.chunks) != entry.fingerprint) {
    refuse(path, "has a page that does not match its index");
  }
}

std::string write_chunk_index(const ChunkIndex& index) {
  JsonWriter writer;
  writer.begin_object();
  writer.key("schema");
  writer.write_unsigned(kChunkListSchema);
  writer.key("kind");
  writer.write_string("chunk-index");
  writer.key("method");
  writer.write_string(kChunkMethod);
  ChunkParams params = index.params;
  const auto fields = param_fields(params);
  for (std::size_t i = 0; i < fields.size(); ++i) {
    writer.key(kParamNames[i]);
    writer.write_unsigned(*fields[i]);
  }
  writer.key("size");
  writer.write_unsigned(index.size);
  writer.key("pages");
  writer.begin_array();
  for (const ChunkPageRef& entry : index.pages) {
    writer.begin_object();
    writer.key("chunks");
    writer.write_unsigned(entry.chunks);
    writer.key("span");
    writer.write_unsigned(entry.span);
    writer.key("fingerprint");
    writer.write_string(to_hex(entry.fingerprint));
    write_object_ref(writer, entry.page);
    writer.end_object();
  }
  writer.end_array();
  if (!index.seeds.empty()) {
    writer.key("seeds");
    writer.begin_array();
    for (const std::string& seed : index.seeds) writer.write_string(seed);
    writer.end_array();
  }
  writer.end_object();
  return writer.text();
}

std::string write_chunk_page(const ChunkPage& page) {
  JsonWriter writer;
  writer.begin_object();
  writer.key("schema");
  writer.write_unsigned(kChunkListSchema);
  writer.key("kind");
  writer.write_string("chunk-page");
  writer.key("chunks");
  writer.begin_array();
  for (const ObjectRef& chunk : page.chunks) {
    writer.begin_array();
    writer.write_string(to_hex(chunk.sha256));
    writer.write_unsigned(chunk.size);
    if (chunk.compressed) {
      writer.write_string(to_hex(chunk.stored_sha256));
      writer.write_unsigned(chunk.stored_size);
    }
    writer.end_array();
  }
  writer.end_array();
  writer.end_object();
  return writer.text();
}

Sha256Digest page_fingerprint(const std::vector<ObjectRef>& chunks) {
  PageFingerprint fingerprint;
  for (const ObjectRef& chunk : chunks) fingerprint.add(chunk.sha256, chunk.size);
  return fingerprint.finish();
}

}  // namespace kaldren::patcher
