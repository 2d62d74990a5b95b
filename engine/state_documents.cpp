// JSON forms of state.json and index.json. Parsing is strict so that a damaged
// file is noticed (and then ignored by the loaders) rather than half-trusted.
#include <algorithm>

#include "core/text.h"
#include "engine/launcher_state.h"
#include "protocol/document_reading.h"
#include "protocol/encoding.h"
#include "protocol/json.h"
#include "protocol/json_members.h"
#include "protocol/path_rule.h"

namespace kaldren::patcher {
namespace {

ReleaseRecord read_record(JsonReader& reader) {
  ReleaseRecord record;
  JsonMembers members(reader);
  while (members.next()) {
    if (members.take("sequence")) {
      record.sequence = reader.read_unsigned();
    } else if (members.take("version")) {
      record.version = detail::read_version(reader);
    } else if (members.take("manifest_sha256")) {
      auto digest = parse_sha256_hex(reader.read_string());
      if (!digest) throw JsonError("invalid manifest digest");
      record.manifest_sha256 = *digest;
    } else if (members.take("executable")) {
      record.executable = reader.read_string();
      if (!is_safe_path(record.executable)) throw JsonError("invalid executable path");
    }
  }
  if (!members.has_all({"sequence", "version", "manifest_sha256", "executable"})) {
    throw JsonError("incomplete release record");
  }
  return record;
}

void write_record(JsonWriter& writer, const ReleaseRecord& record) {
  writer.begin_object();
  writer.key("sequence");
  writer.write_unsigned(record.sequence);
  writer.key("version");
  writer.write_string(version_text(record.version));
  writer.key("manifest_sha256");
  writer.write_string(to_hex(record.manifest_sha256));
  writer.key("executable");
  writer.write_string(record.executable);
  writer.end_object();
}

}  // namespace

std::optional<std::uint64_t> highest_sequence(const LauncherState& state, std::string_view channel) {
  auto it = state.highest_sequences.find(std::string(channel));
  if (it == state.highest_sequences.end()) return std::nullopt;
  return it->second;
}

void record_sequence(LauncherState& state, std::string_view channel, std::uint64_t sequence) {
  auto [it, inserted] = state.highest_sequences.emplace(std::string(channel), sequence);
  if (!inserted) it->second = std::max(it->second, sequence);
}

LauncherState parse_state(std::string_view document) {
  LauncherState state;
  JsonReader reader(document);
  JsonMembers members(reader);
  while (members.next()) {
    if (members.take("schema")) {
      if (reader.read_unsigned() != 2) throw JsonError("unsupported state schema");
    } else if (members.take("channel")) {
      state.channel = reader.read_string();
    } else if (members.take("highest_sequences")) {
      reader.begin_object();
      std::string channel;
      while (reader.next_member(channel)) state.highest_sequences[channel] = reader.read_unsigned();
    } else if (members.take("installed")) {
      state.installed = read_record(reader);
    } else if (members.take("pending")) {
      state.pending = read_record(reader);
    }
  }
  if (!reader.at_end_ignoring_whitespace()) throw JsonError("trailing data");
  return state;
}

std::string serialize_state(const LauncherState& state) {
  JsonWriter writer;
  writer.begin_object();
  writer.key("schema");
  writer.write_unsigned(2);
  writer.key("channel");
  writer.write_string(state.channel);
  writer.key("highest_sequences");
  writer.begin_object();
  // std::map orders std::string keys by their bytes, as the file wants.
  for (const auto& [channel, sequence] : state.highest_sequences) {
    writer.key(channel);
    writer.write_unsigned(sequence);
  }
  writer.end_object();
  if (state.installed) {
    writer.key("installed");
    write_record(writer, *state.installed);
  }
  if (state.pending) {
    writer.key("pending");
    write_record(writer, *state.pending);
  }
  writer.end_object();
  return writer.text();
}

FileIndex parse_index(std::string_view document) {
  FileIndex index;
  JsonReader reader(document);
  JsonMembers members(reader);
  while (members.next()) {
    if (members.take("schema")) {
      if (reader.read_unsigned() != 2) throw JsonError("unsupported index schema");
    } else if (members.take("files")) {
      reader.begin_array();
      while (reader.next_element()) {
        IndexEntry entry;
        reader.begin_array();
        if (!reader.next_element()) throw JsonError("short index entry");
        entry.path = reader.read_string();
        if (!is_safe_path(entry.path)) throw JsonError("invalid index entry");
        if (!reader.next_element()) throw JsonError("short index entry");
        entry.size = reader.read_unsigned();
        if (!reader.next_element()) throw JsonError("short index entry");
        entry.modified = reader.read_unsigned();
        if (!reader.next_element()) throw JsonError("short index entry");
        auto digest = parse_sha256_hex(reader.read_string());
        if (!digest) throw JsonError("invalid index entry");
        entry.sha256 = *digest;
        if (reader.next_element()) throw JsonError("invalid index entry");
        std::wstring folded = fold_path_case(to_utf16(entry.path));
        index.insert_or_assign(std::move(folded), std::move(entry));
      }
    }
  }
  // Whatever follows the object is not examined: the entries are all read by now.
  return index;
}

std::string serialize_index(const FileIndex& index) {
  std::vector<const IndexEntry*> entries;
  entries.reserve(index.size());
  for (const auto& [key, entry] : index) entries.push_back(&entry);
  std::sort(entries.begin(), entries.end(), [](const IndexEntry* a, const IndexEntry* b) { return a->path < b->path; });
  JsonWriter writer;
  writer.begin_object();
  writer.key("schema");
  writer.write_unsigned(2);
  writer.key("files");
  writer.begin_array();
  for (const IndexEntry* entry : entries) {
    writer.begin_array();
    writer.write_string(entry->path);
    writer.write_unsigned(entry->size);
    writer.write_unsigned(entry->modified);
    writer.write_string(to_hex(entry->sha256));
    writer.end_array();
  }
  writer.end_array();
  writer.end_object();
  return writer.text();
}

}  // namespace kaldren::patcher
