#include "protocol/chunk_list.h"

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

Sha256Digest read_hex_digest(JsonReader& reader, std::string_view what) {
  if (const auto digest = parse_sha256_hex(reader.read_string())) return *digest;
  throw_malformed(fmt::format("{} is not a lowercase SHA-256", what));
}

std::uint32_t read_u32(JsonReader& reader) {
  const std::uint64_t value = reader.read_unsigned();
  if (value > 0xFFFFFFFFu) throw_malformed("a chunk list parameter is out of range");
  return static_cast<std::uint32_t>(value);
}

ChunkPageRef read_page_entry(JsonReader& reader) {
  ChunkPageRef entry;
  detail::ObjectRefMembers members;
  unsigned seen = 0;
  reader.begin_object();
  std::string key;
  while (reader.next_member(key)) {
    if (key == "chunks") {
      entry.chunks = reader.read_unsigned();
      seen |= 0x01;
    } else if (key == "span") {
      entry.span = reader.read_unsigned();
      seen |= 0x02;
    } else if (key == "fingerprint") {
      entry.fingerprint = read_hex_digest(reader, "fingerprint");
      seen |= 0x04;
    } else if (!members.read(reader, key)) {
      reader.skip_value(reader.depth());
    }
  }
  if (seen != 0x07 || !members.complete()) throw_malformed("a chunk page entry is missing a field");
  entry.page = members.value();
  return entry;
}

// Members of the index besides its header; false for an unknown member.
bool read_index_member(JsonReader& reader, const std::string& key, ChunkIndex& index, unsigned& seen) {
  ChunkParams& p = index.params;
  std::uint32_t* const numbers[] = {&p.min, &p.average, &p.max, &p.page_min, &p.page_average, &p.page_max};
  const char* const names[] = {"min", "average", "max", "page_min", "page_average", "page_max"};
  for (int i = 0; i < 6; ++i) {
    if (key == names[i]) {
      *numbers[i] = read_u32(reader);
      seen |= 0x10u << i;
      return true;
    }
  }
  if (key == "method") {
    if (reader.read_string() != kChunkMethod) index.supported = false;
    seen |= 0x04;
  } else if (key == "size") {
    index.size = reader.read_unsigned();
    seen |= 0x08;
  } else if (key == "pages") {
    reader.begin_array();
    while (reader.next_element()) index.pages.push_back(read_page_entry(reader));
    seen |= 0x400;
  } else if (key == "seeds") {
    reader.begin_array();
    while (reader.next_element()) {
      if (index.seeds.size() >= kMaxChunkSeeds) throw_malformed("a chunk list names too many seed files");
      index.seeds.push_back(reader.read_string());
    }
  } else {
    return false;
  }
  return true;
}

ChunkIndex read_index(std::string_view document) {
  ChunkIndex index;
  unsigned seen = 0;
  JsonReader reader(document);
  reader.begin_object();
  std::string key;
  while (reader.next_member(key)) {
    if (key == "schema") {
      if (reader.read_unsigned() != kChunkListSchema) index.supported = false;
      seen |= 0x01;
    } else if (key == "kind") {
      if (reader.read_string() != "chunk-index") throw_malformed("the chunk index has the wrong kind");
      seen |= 0x02;
    } else if (!index.supported) {
      reader.skip_value(reader.depth());  // a later format: nothing more is read
    } else if (!read_index_member(reader, key, index, seen)) {
      reader.skip_value(reader.depth());
    }
  }
  if (!reader.at_end_ignoring_whitespace()) throw_malformed("trailing data after the chunk index");
  if (!index.supported) return ChunkIndex{false};
  if (seen != 0x7FF) throw_malformed("the chunk index is missing a field");
  return index;
}

ObjectRef read_chunk(JsonReader& reader) {
  ObjectRef chunk;
  reader.begin_array();
  if (!reader.next_element()) throw_malformed("a chunk entry is too short");
  chunk.sha256 = read_hex_digest(reader, "a chunk digest");
  if (!reader.next_element()) throw_malformed("a chunk entry is too short");
  chunk.size = reader.read_unsigned();
  // Two values: stored as it is; four: a zstd frame with its own digest and size.
  if (!reader.next_element()) {
    chunk.stored_sha256 = chunk.sha256;
    chunk.stored_size = chunk.size;
    return chunk;
  }
  chunk.compressed = true;
  chunk.stored_sha256 = read_hex_digest(reader, "a stored chunk digest");
  if (!reader.next_element()) throw_malformed("a chunk entry is too short");
  chunk.stored_size = reader.read_unsigned();
  if (reader.next_element()) throw_malformed("a chunk entry is too long");
  return chunk;
}

ChunkPage read_page(std::string_view document) {
  ChunkPage page;
  unsigned seen = 0;
  JsonReader reader(document);
  reader.begin_object();
  std::string key;
  while (reader.next_member(key)) {
    if (key == "schema") {
      if (reader.read_unsigned() != kChunkListSchema) throw_malformed("the chunk page has an unknown format");
      seen |= 0x01;
    } else if (key == "kind") {
      if (reader.read_string() != "chunk-page") throw_malformed("the chunk page has the wrong kind");
      seen |= 0x02;
    } else if (key == "chunks") {
      reader.begin_array();
      while (reader.next_element()) {
        if (page.chunks.size() >= kMaxPageChunksCeiling) throw_malformed("a chunk page lists too many chunks");
        page.chunks.push_back(read_chunk(reader));
      }
      seen |= 0x04;
    } else {
      reader.skip_value(reader.depth());
    }
  }
  if (!reader.at_end_ignoring_whitespace()) throw_malformed("trailing data after the chunk page");
  if (seen != 0x07) throw_malformed("the chunk page is missing a field");
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
  const ChunkParams& p = index.params;
  const std::pair<const char*, std::uint32_t> numbers[] = {{"min", p.min},           {"average", p.average},
                                                           {"max", p.max},           {"page_min", p.page_min},
                                                           {"page_average", p.page_average}, {"page_max", p.page_max}};
  for (const auto& [name, value] : numbers) {
    writer.key(name);
    writer.write_unsigned(value);
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
